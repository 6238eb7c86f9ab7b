#include "Data.h"

#include "db/Error.h"
#include "platform/ConnectionTarget.h"
#include "platform/Resources.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject LoadDesign() {
    platform::LoadDesignResources();
    QFile file(QStringLiteral(":/TDM.json"));
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

QStringList Lines(const QJsonValue& value) {
    QStringList lines;
    for (const QJsonValue line : value.toArray())
        lines << line.toString();
    return lines;
}

std::unique_ptr<db::Client> LoadClient(const char* library) {
    try {
        return std::make_unique<db::Client>(library);
    } catch (const db::Error& e) {
        throw db::Error(std::string("Error reading IBD.ServerType: ") + e.what());
    }
}

} // namespace

DesignLogin LoadDesignLogin() {
    DesignLogin login;
    for (const QString& line : Lines(LoadDesign()[u"IBD"].toObject()[u"Params"])) {
        const QString name = line.section(u'=', 0, 0).trimmed().toLower();
        if (name == u"user_name")
            login.user = line.section(u'=', 1);
        else if (name == u"password")
            login.password = line.section(u'=', 1);
    }
    return login;
}

TDM::TDM(const char* clientLibrary)
    : client_(LoadClient(clientLibrary)), IBD(*client_), IBT(IBD),
      IBReports(IBD, IBT, QStringLiteral("IBReports")) {
    const QJsonObject design = LoadDesign();

    const QJsonObject ibd = design[u"IBD"].toObject();
    IBD.DatabaseName = ibd[u"DatabaseName"].toString();
    IBD.Params = Lines(ibd[u"Params"]);
    IBD.BeforeConnect = [this](db::Database& sender) {
        IBDBeforeConnect(sender);
    };
    IBD.AfterConnect = [this](db::Database& sender) {
        IBDAfterConnect(sender);
    };

    const QJsonObject reports = design[u"IBReports"].toObject();
    IBReports.SelectSQL = Lines(reports[u"SelectSQL"]);
    IBReports.RefreshSQL = Lines(reports[u"RefreshSQL"]);
    IBReports.ModifySQL = Lines(reports[u"ModifySQL"]);
    IBReports.InsertSQL = Lines(reports[u"InsertSQL"]);
    IBReports.DeleteSQL = Lines(reports[u"DeleteSQL"]);
}

TDM::~TDM() = default;

void TDM::UseTarget(const QString& target) {
    target_ = target;
}

void TDM::UseLogin(const std::optional<QString>& user, const std::optional<QString>& password) {
    const auto replace = [this](const QString& name, const std::optional<QString>& value) {
        if (!value)
            return;
        for (QString& line : IBD.Params)
            if (line.section(u'=', 0, 0).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                line = name + u'=' + *value;
    };
    replace(QStringLiteral("user_name"), user);
    replace(QStringLiteral("password"), password);
}

void TDM::UseConnectTimeout(int seconds) {
    IBD.Params << QStringLiteral("connect_timeout=%1").arg(seconds);
}

void TDM::OpenReportList() {
    IBReports.Close();
    IBReports.Open();
}

void TDM::IBDBeforeConnect(db::Database& sender) {
    sender.DatabaseName = target_ ? *target_ : platform::DefaultConnectionTarget();
}

void TDM::IBDAfterConnect(db::Database& sender) {
    if (OnConnected)
        OnConnected(sender.DatabaseName);
}
