#include "DataModuleDesign.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace fbtest {

QStringList DesignLines(const QString& component, const QString& setting) {
    QFile file(QStringLiteral(KORVEX_SOURCE_DIR "/resources/TDM.json"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QJsonValue value = QJsonDocument::fromJson(file.readAll())[component][setting];
    EXPECT_TRUE(value.isArray()) << component.toStdString() << "." << setting.toStdString();
    QStringList lines;
    for (const QJsonValue line : value.toArray())
        lines << line.toString();
    return lines;
}

} // namespace fbtest
