#pragma once

#include "DbFixture.h"
#include "db/Dataset.h"
#include "support/FbScratch.h"

#include <QByteArray>
#include <gtest/gtest.h>

using testbed::RandomBytes;

// The report list as the data module sets it up, over its own connection to a scratch database.
struct ReportList {
    explicit ReportList(const QString& target, const QStringList& params = DataModuleParams(),
                        const char* clientLibrary = db::Client::DefaultLibrary)
        : connection(target, clientLibrary) {
        connection.database.Options = db::ConnectionOptions::FromLines(params);
        IBReports.SelectSQL = fbtest::DesignLines("IBReports", "SelectSQL");
        IBReports.RefreshSQL = fbtest::DesignLines("IBReports", "RefreshSQL");
        IBReports.ModifySQL = fbtest::DesignLines("IBReports", "ModifySQL");
        IBReports.InsertSQL = fbtest::DesignLines("IBReports", "InsertSQL");
        IBReports.DeleteSQL = fbtest::DesignLines("IBReports", "DeleteSQL");
    }

    QByteArray read(const QString& field = "DESCR") {
        auto reader = IBReports.CreateContentReader(field);
        QByteArray content(reader->size(), Qt::Uninitialized);
        EXPECT_EQ(reader->read(content.data(), content.size()), content.size());
        return content;
    }
    // Copies in 1 MiB pieces, as the replacement routine does.
    void write(const QByteArray& content) {
        auto writer = IBReports.CreateContentWriter("DESCR");
        for (qsizetype at = 0; at < content.size(); at += 1 << 20)
            writer->write(content.constData() + at,
                          std::min<qsizetype>(1 << 20, content.size() - at));
        writer->close();
    }
    void replace(const QString& id, const QByteArray& content) {
        ASSERT_TRUE(IBReports.Locate("ID", id)) << id.toStdString();
        IBReports.Edit();
        write(content);
    }

    Connection connection;
    db::Transaction& IBT = connection.transaction;
    db::Dataset IBReports{connection.database, connection.transaction, "IBReports"};
};

// What another connection sees of a row's DESCR (committed work only).
inline std::optional<QByteArray> Stored(fbtest::ScratchDatabase& scratch, const std::string& id) {
    return scratch.readBlob("REPORTS", "DESCR", "ID", id);
}
