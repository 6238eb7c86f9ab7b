#include "Export.h"

#include "Output.h"
#include "core/Replacement.h"
#include "platform/Files.h"

#include <QFileInfo>
#include <QSaveFile>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

using Sink = std::function<void(const char* data, qint64 count)>;

// The export itself, the one call into the core.
store::ContentDigest ExportTo(store::LayoutStore& layouts, const QString& reportId,
                              const Sink& sink) {
    return core::ExportLayout(layouts, reportId, sink);
}

void ExportToStandardOutput(store::LayoutStore& layouts, const QString& reportId) {
    ExportTo(layouts, reportId, [](const char* data, qint64 count) {
        if (std::fwrite(data, 1, static_cast<size_t>(count), stdout) != static_cast<size_t>(count))
            throw std::runtime_error("Stream write error");
    });
    if (std::fflush(stdout) != 0)
        throw std::runtime_error("Stream write error");
}

// A device or a pipe cannot be renamed over.
store::ContentDigest ExportInPlace(store::LayoutStore& layouts, const QString& reportId,
                                   const QString& path) {
    platform::SpecialFileOutput file(path);
    const store::ContentDigest digest = ExportTo(
        layouts, reportId, [&](const char* data, qint64 count) { file.write(data, count); });
    file.close();
    return digest;
}

// Written beside the file and renamed over it once whole.
store::ContentDigest ExportBeside(store::LayoutStore& layouts, const QString& reportId,
                                  const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error(QStringLiteral("Cannot create file \"%1\". %2")
                                     .arg(QFileInfo(path).absoluteFilePath(), file.errorString())
                                     .toStdString());
    const store::ContentDigest digest =
        ExportTo(layouts, reportId, [&](const char* data, qint64 count) {
            if (file.write(data, count) != count)
                throw std::runtime_error("Stream write error");
        });
    if (!file.commit())
        throw std::runtime_error("Stream write error");
    return digest;
}

bool IsStandardOutput(const QString& path) {
    struct stat file, output;
    return ::stat(QFile::encodeName(path).constData(), &file) == 0 &&
           ::fstat(STDOUT_FILENO, &output) == 0 && file.st_dev == output.st_dev &&
           file.st_ino == output.st_ino;
}

} // namespace

Export::Export()
    : Command({QStringLiteral("export"),
               {{IdArgument}, {QStringLiteral("FILE")}},
               {},
               QStringLiteral("the stored bytes of one layout, byte for byte (FILE - : standard "
                              "output)")}) {}

void Export::Check(const QCommandLineParser&) {
    if (invocation().targets.size() > 1)
        throw UsageProblem{QStringLiteral("export takes one database")};
    if (invocation().json && invocation().args[1] == u"-")
        throw UsageProblem{QStringLiteral("--json and FILE - would mix JSON into the layout")};
}

Report Export::Run(const Target& target, store::LayoutStore& layouts, Supervisor::Work&) const {
    const QString& reportId = invocation().args[0];
    const QString& path = invocation().args[1];
    Report report;
    if (path == u"-") {
        ExportToStandardOutput(layouts, reportId);
        return report;
    }
    const store::ContentDigest digest = platform::IsExistingSpecialFile(path)
                                            ? ExportInPlace(layouts, reportId, path)
                                            : ExportBeside(layouts, reportId, path);
    // A line after the bytes would become part of them.
    if (!IsStandardOutput(path))
        report.Say(QStringLiteral("exported %1: %2 to %3").arg(reportId, Describe(digest), path));
    report.json = outcomeFields(target);
    report.json->insert("outcome", "exported");
    report.json->insert("id", reportId);
    report.json->insert("file", QFileInfo(path).absoluteFilePath());
    report.json->insert("size", digest.size);
    report.json->insert("sha256", QString::fromLatin1(digest.sha256));
    return report;
}

} // namespace cli
