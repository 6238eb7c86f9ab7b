#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

namespace apptest {

// korvex-reports --json: one object per line.
inline QList<QJsonObject> JsonLines(const QByteArray& output) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : output.split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

} // namespace apptest
