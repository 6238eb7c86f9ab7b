#pragma once

// What the window and start-up tests share: the product's REPORTS table on a scratch database,
// and a folder in which that database is the tool's default target.

#include "support/FbScratch.h"
#include "support/TestBed.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace apptest {

// The identifiers of the window's layout commands, in menu order.
QStringList ReportIds();

// Bytes no text conversion leaves alone: a NUL, a CR LF and bytes above 0x7F.
QByteArray SampleLayout(const QString& id);

// REPORTS as the product has it, one row per report identifier holding its sample layout.
void CreateReports(fbtest::ScratchDatabase& scratch,
                   const std::string& descrType = "blob sub_type 0");

// A new folder holding KORVEX.FDB, a link to the scratch database; subPath names folders to
// create below the temporary one first (e.g. "<b>x</b>", which makes "<b>x<" and "b>" in it).
class TargetFolder {
public:
    explicit TargetFolder(const fbtest::ScratchDatabase& scratch, const QString& subPath = {});

    // The folder's real path, as the working directory reports it.
    const QString& path() const { return path_; }
    // The default target there: "127.0.0.1:" + path + "/KORVEX.FDB".
    QString target() const;

private:
    QTemporaryDir root_;
    QString path_;
};

// The process's working directory while this lives.
using WorkingDirectory = testbed::InDirectory;

} // namespace apptest
