#include "Output.h"

#include "store/LayoutStore.h"

namespace cli {

void Print(std::FILE* stream, const QString& line) {
    std::fputs(qUtf8Printable(line + u'\n'), stream);
    std::fflush(stream);
}

QString PlainLines(const QString& text) {
    return QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QString ErrorLine(const QString& target, const QString& text) {
    return QStringLiteral("korvex-reports: %1: %2").arg(target, PlainLines(text));
}

QString Describe(const store::ContentDigest& digest) {
    return QStringLiteral("%1 bytes (SHA-256 %2)")
        .arg(digest.size)
        .arg(QString::fromLatin1(digest.sha256));
}

QString Escaped(const QString& text) {
    QString escaped;
    for (const QChar c : text) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else if (c == u'\t')
            escaped += QStringLiteral("\\t");
        else
            escaped += c;
    }
    return escaped;
}

void InsertConnection(QJsonObject& fields, const store::LayoutStore& layouts) {
    if (const std::optional<QString> engine = layouts.EngineVersion())
        fields.insert("engine", *engine);
    if (const std::optional<bool> compressed = layouts.WireCompressed())
        fields.insert("compressed", *compressed);
}

} // namespace cli
