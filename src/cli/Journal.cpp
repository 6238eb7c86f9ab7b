#include "Journal.h"

#include "Output.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

namespace cli {

const QCommandLineOption BackupDirOption{
    QStringLiteral("backup-dir"),
    QStringLiteral("the folder for backups and the journal, and where restore, undo, history "
                   "and status look for them. Default: the working directory."),
    QStringLiteral("dir")};

Journal::Journal(const QString& backupDirectory)
    : path_(QDir(backupDirectory.isEmpty() ? platform::WorkingDirectory() : backupDirectory)
                .absoluteFilePath(QString::fromLatin1(FileName))) {}

namespace {

void InsertDigest(QJsonObject& line, const std::optional<store::ContentDigest>& digest,
                  const QString& suffix) {
    if (!digest)
        return;
    line.insert(QStringLiteral("size_") + suffix, digest->size);
    line.insert(QStringLiteral("sha256_") + suffix, QString::fromLatin1(digest->sha256));
}

std::optional<store::ContentDigest> DigestOf(const QJsonObject& line, const QString& suffix) {
    const QJsonValue sha256 = line[QStringLiteral("sha256_") + suffix];
    if (!sha256.isString())
        return std::nullopt;
    return store::ContentDigest{line[QStringLiteral("size_") + suffix].toInteger(),
                                sha256.toString().toLatin1()};
}

std::optional<qint64> ServerHashOf(const QJsonValue& value) {
    bool ok = false;
    const qint64 hash = value.toString().toLongLong(&ok);
    return ok ? std::optional(hash) : std::nullopt;
}

std::optional<int> CountOf(const QJsonValue& value) {
    return value.isDouble() ? std::optional(value.toInt()) : std::nullopt;
}

QStringList TextsOf(const QJsonValue& value) {
    QStringList texts;
    for (const QJsonValue& each : value.toArray())
        texts << each.toString();
    return texts;
}

void InsertText(QJsonObject& line, const char* key, const QString& text) {
    if (!text.isEmpty())
        line.insert(QLatin1String(key), text);
}

} // namespace

QJsonObject JournalEntry::ToJson() const {
    QJsonObject line;
    stamp.WriteTo(line);
    line.insert("event", event);
    line.insert("id", id);
    if (engine)
        line.insert("engine", *engine);
    if (compressed)
        line.insert("compressed", *compressed);
    InsertDigest(line, before, QStringLiteral("before"));
    InsertDigest(line, after, QStringLiteral("after"));
    // As text: JSON readers may keep numbers as doubles, which do not hold 64 bits.
    if (serverHashAfter)
        line.insert("server_hash_after", QString::number(*serverHashAfter));
    InsertText(line, "file", file);
    InsertText(line, "backup", backup);
    InsertText(line, "outcome", outcome);
    InsertText(line, "error", error);
    InsertText(line, "undoes", undoes);
    if (canary)
        line.insert("canary", *canary);
    if (maxFailures)
        line.insert("max_failures", *maxFailures);
    if (event == u"summary")
        line.insert("not_started", QJsonArray::fromStringList(notStarted));
    return line;
}

JournalEntry JournalEntry::FromJson(const QJsonObject& line) {
    const QJsonValue engine = line["engine"];
    const QJsonValue compressed = line["compressed"];
    return {.stamp = Stamp::ReadFrom(line),
            .event = line["event"].toString(),
            .id = line["id"].toString(),
            .engine = engine.isString() ? std::optional(engine.toString()) : std::nullopt,
            .compressed = compressed.isBool() ? std::optional(compressed.toBool()) : std::nullopt,
            .before = DigestOf(line, QStringLiteral("before")),
            .after = DigestOf(line, QStringLiteral("after")),
            .serverHashAfter = ServerHashOf(line["server_hash_after"]),
            .file = line["file"].toString(),
            .backup = line["backup"].toString(),
            .outcome = line["outcome"].toString(),
            .error = line["error"].toString(),
            .undoes = line["undoes"].toString(),
            .canary = CountOf(line["canary"]),
            .maxFailures = CountOf(line["max_failures"]),
            .notStarted = TextsOf(line["not_started"])};
}

std::optional<store::Fingerprint> JournalEntry::afterFingerprint() const {
    if (!after || !serverHashAfter)
        return std::nullopt;
    return store::Fingerprint{after->size, *serverHashAfter};
}

// Only the opening is under the lock: the file keeps the writers of its lines apart itself.
platform::AppendFile& Journal::opened() {
    const std::lock_guard lock(mutex_);
    if (!file_)
        file_.emplace(path_);
    return *file_;
}

void Journal::cannotWrite(const platform::FileError& error) const {
    throw std::runtime_error(QStringLiteral("The journal %1 cannot be written. %2")
                                 .arg(path_, QString::fromUtf8(error.what()))
                                 .toStdString());
}

void Journal::Open() {
    try {
        opened();
    } catch (const platform::FileError& error) {
        cannotWrite(error);
    }
}

void Journal::Append(const JournalEntry& entry, const std::stop_token& stop) {
    try {
        opened().append(QJsonDocument(entry.ToJson()).toJson(QJsonDocument::Compact) + '\n', stop);
    } catch (const platform::FileError& error) {
        cannotWrite(error);
    }
}

void Journal::Read(Direction direction,
                   const std::function<bool(const JournalEntry&)>& visit) const {
    platform::LineReader reader(path_, direction);
    while (const std::optional<platform::LineReader::Line> line = reader.next()) {
        if (line->text.trimmed().isEmpty())
            continue;
        const QJsonDocument parsed = QJsonDocument::fromJson(line->text);
        if (!parsed.isObject())
            tellUnreadable(line->offset);
        else if (!visit(JournalEntry::FromJson(parsed.object())))
            return;
    }
}

void Journal::tellUnreadable(qint64 offset) const {
    if (told_.insert(offset).second)
        Print(stderr, QStringLiteral("korvex-reports: %1: the line at byte %2 is not a journal "
                                     "entry; passed over")
                          .arg(path_)
                          .arg(offset));
}

} // namespace cli
