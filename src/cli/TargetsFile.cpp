#include "TargetsFile.h"

#include <QStringDecoder>
#include <QStringList>

namespace cli {
namespace {

// The problem of one line, its place added where the line's number is known.
struct LineProblem {
    QString text;
};

bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

// The words of the line, quotes and escapes resolved.
QStringList WordsOf(const QString& line) {
    QStringList words;
    qsizetype i = 0;
    const qsizetype end = line.size();
    while (true) {
        while (i < end && IsBlank(line[i]))
            ++i;
        if (i == end)
            return words;
        QString word;
        while (i < end && !IsBlank(line[i])) {
            if (line[i] != u'"') {
                word += line[i++];
                continue;
            }
            for (++i;; ++i) {
                if (i == end)
                    throw LineProblem{QStringLiteral("unterminated quote")};
                if (line[i] == u'"')
                    break;
                if (line[i] == u'\\') {
                    if (++i == end || (line[i] != u'"' && line[i] != u'\\'))
                        throw LineProblem{QStringLiteral("within quotes a backslash only "
                                                         "escapes \" or \\")};
                }
                word += line[i];
            }
            ++i;
        }
        words << word;
    }
}

void Set(std::optional<QString>& part, const QString& key, const QString& value) {
    if (part)
        throw LineProblem{QStringLiteral("repeated key %1").arg(key)};
    if (value.isEmpty())
        throw LineProblem{QStringLiteral("%1= needs a value").arg(key)};
    part = value;
}

TargetLine TargetOf(const QStringList& words, int number) {
    TargetLine target{number, words.first(), {}, {}};
    if (target.database.isEmpty())
        throw LineProblem{QStringLiteral("an empty target")};
    for (qsizetype i = 1; i < words.size(); ++i) {
        const qsizetype equals = words[i].indexOf(u'=');
        if (equals <= 0)
            throw LineProblem{QStringLiteral("word %1 is not KEY=VALUE").arg(i + 1)};
        const QString key = words[i].first(equals);
        const QString value = words[i].mid(equals + 1);
        if (key == u"user")
            Set(target.user, key, value);
        else if (key == u"password-file")
            Set(target.passwordFile, key, value);
        else if (key == u"password")
            throw LineProblem{QStringLiteral("unknown key password: a password stands in a "
                                             "file of its own, named by password-file=")};
        else
            throw LineProblem{QStringLiteral("unknown key %1").arg(key)};
    }
    return target;
}

TargetsFileError LineError(const QString& file, int number, const QString& problem) {
    return TargetsFileError(
        QStringLiteral("%1:%2: %3").arg(file, QString::number(number), problem));
}

// Notepad's "Unicode" is UTF-16 with a byte-order mark; read as UTF-8 it would be cut at its NULs.
QByteArray WithoutByteOrderMark(const QByteArray& content, const QString& file) {
    if (content.startsWith("\xFF\xFE") || content.startsWith("\xFE\xFF"))
        throw LineError(file, 1, QStringLiteral("UTF-16 text; save the file as UTF-8"));
    return content.startsWith("\xEF\xBB\xBF") ? content.sliced(3) : content;
}

QString TextOf(const QByteArray& line, const QString& file, int number) {
    if (line.contains('\0'))
        throw LineError(file, number,
                        QStringLiteral("a NUL byte; save the file as UTF-8 (not UTF-16)"));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(line);
    if (decoder.hasError())
        throw LineError(file, number, QStringLiteral("not UTF-8 text; save the file as UTF-8"));
    return text;
}

} // namespace

TargetsFileError::TargetsFileError(const QString& text) : std::runtime_error(text.toStdString()) {}

std::optional<TargetLine> ParseTargetLine(const QString& line, const QString& file, int number) {
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(u'#'))
        return std::nullopt;
    try {
        return TargetOf(WordsOf(trimmed), number);
    } catch (const LineProblem& problem) {
        throw LineError(file, number, problem.text);
    }
}

QList<TargetLine> ParseTargets(const QByteArray& content, const QString& file) {
    QList<TargetLine> targets;
    const QList<QByteArray> lines = WithoutByteOrderMark(content, file).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i + 1);
        if (std::optional<TargetLine> target =
                ParseTargetLine(TextOf(lines[i], file, number), file, number))
            targets << *std::move(target);
    }
    return targets;
}

} // namespace cli
