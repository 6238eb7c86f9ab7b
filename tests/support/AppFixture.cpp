#include "AppFixture.h"

#include "gui/ReportCommands.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace apptest {

QStringList ReportIds() {
    QStringList ids;
    for (const ReportCommand& command : ReportCommands())
        ids << command.reportId;
    return ids;
}

QByteArray SampleLayout(const QString& id) {
    return "<?xml version=\"1.0\"?>\r\n<Report Name=\"" + id.toUtf8() + "\">" +
           QByteArray("\0\r\n\xC3\xA9\xFF", 6) + "</Report>";
}

void CreateReports(fbtest::ScratchDatabase& scratch, const std::string& descrType) {
    scratch.execute("create table REPORTS (ID varchar(20) not null primary key, DESCR " +
                    descrType + ")");
    for (const QString& id : ReportIds())
        scratch.insertReport(id.toStdString(), SampleLayout(id));
}

TargetFolder::TargetFolder(const fbtest::ScratchDatabase& scratch, const QString& subPath) {
    QDir folder(QDir(root_.path()).canonicalPath());
    if (!subPath.isEmpty()) {
        EXPECT_TRUE(folder.mkpath(subPath));
        folder.cd(subPath);
    }
    path_ = folder.path();
    EXPECT_TRUE(QFile::link(QString::fromStdString(scratch.path()), folder.filePath("KORVEX.FDB")));
}

QString TargetFolder::target() const {
    return QStringLiteral("127.0.0.1:") + path_ + QStringLiteral("/KORVEX.FDB");
}

} // namespace apptest
