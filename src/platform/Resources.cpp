#include "Resources.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtGlobal>

// Q_INIT_RESOURCE names a function in the global namespace.
static void LoadResources() {
    Q_INIT_RESOURCE(resources);
}

namespace platform {

void LoadDesignResources() {
    LoadResources();
}

QJsonObject DataModuleDesign() {
    LoadDesignResources();
    QFile file(QStringLiteral(":/TDM.json"));
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

DesignLogin LoadDesignLogin() {
    DesignLogin login;
    for (const QJsonValue value : DataModuleDesign()[u"IBD"].toObject()[u"Params"].toArray()) {
        const QString line = value.toString();
        const QString name = line.section(u'=', 0, 0).trimmed().toLower();
        if (name == u"user_name")
            login.user = line.section(u'=', 1);
        else if (name == u"password")
            login.password = line.section(u'=', 1);
    }
    return login;
}

} // namespace platform
