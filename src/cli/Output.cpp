#include "Output.h"

namespace cli {

void Print(std::FILE* stream, const QString& line) {
    std::fputs(qUtf8Printable(line + u'\n'), stream);
    std::fflush(stream);
}

// The database's message lines end in CR LF; a log wants plain line ends.
QString ErrorLine(const QString& target, const QString& text) {
    return QStringLiteral("korvex-reports: %1: %2")
        .arg(target, QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

QString Describe(const core::ContentDigest& digest) {
    return QStringLiteral("%1 bytes (SHA-256 %2)")
        .arg(digest.size)
        .arg(QString::fromLatin1(digest.sha256));
}

} // namespace cli
