#pragma once

#include "support/TestBed.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A fresh directory for one test, named by its real path so that it compares with what the
// system reports.
class Scratch {
public:
    QString path(const QString& name = {}) const {
        const QString root = QDir(dir_.path()).canonicalPath();
        return name.isEmpty() ? root : root + u'/' + name;
    }
    void write(const QString& name, const QByteArray& content) const {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        file.write(content);
    }
    QByteArray read(const QString& name) const {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    // Every name in the directory, hidden ones too.
    QStringList entries(const QString& name = {}) const {
        return QDir(path(name))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

private:
    QTemporaryDir dir_;
};
