#include "Status.h"

#include "Output.h"
#include "Reporter.h"

namespace cli {
namespace {

using State = core::LayoutStatus::State;

const QString UnknownVersion = QStringLiteral("unknown version");

const QCommandLineOption Versions{QStringLiteral("versions"),
                                  QStringLiteral("name the version each database holds after "
                                                 "the file of the folder with its bytes, or "
                                                 "\"unknown version\". Default: after the files "
                                                 "the journal's runs stored."),
                                  QStringLiteral("dir")};

} // namespace

const QString Unreachable = QStringLiteral("unreachable");

QString StateName(core::LayoutStatus::State state) {
    switch (state) {
    case State::Same:
        return QStringLiteral("same");
    case State::Other:
        return QStringLiteral("other");
    case State::Stored:
        return QStringLiteral("stored");
    case State::NoRow:
        break;
    }
    return QStringLiteral("no-row");
}

QString Described(const store::Fingerprint& fingerprint) {
    return QStringLiteral("%1 bytes, server hash %2")
        .arg(fingerprint.size)
        .arg(fingerprint.serverHash);
}

Status::Status()
    : Command({QStringLiteral("status"),
               {{IdArgument}, {QStringLiteral("FILE"), true}},
               {Versions, BackupDirOption},
               QStringLiteral("whether each database holds FILE's bytes, another version or no "
                              "row; without FILE the size and server hash of each")}) {}

void Status::Check(const QCommandLineParser& parser) {
    const QStringList& args = invocation().args;
    versionsFolder_ = parser.isSet(Versions);
    if (versionsFolder_ && parser.isSet(BackupDirOption))
        throw UsageProblem{QStringLiteral("--versions and --backup-dir exclude each other")};
    try {
        if (args.size() > 1)
            file_ = core::FileFingerprint(args[1]);
        versions_ = versionsFolder_
                        ? VersionNames::OfFolder(parser.value(Versions))
                        : VersionNames::OfJournal(Journal(parser.value(BackupDirOption)), args[0]);
    } catch (const std::exception& error) {
        throw UsageProblem{QString::fromUtf8(error.what())};
    }
}

void Status::nameVersion(const store::Fingerprint& stored, Report& report) const {
    const std::optional<VersionName> name = versions_.Find(stored);
    if (!name && !versionsFolder_)
        return;
    report.version = name ? name->Text() : UnknownVersion;
    report.lines.back().text += name ? QStringLiteral(", version ") + *report.version
                                     : QStringLiteral(", ") + UnknownVersion;
    report.json->insert("version", name ? QJsonValue(name->file) : QJsonValue());
    if (name && !name->run.isEmpty())
        report.json->insert("version_run", name->run);
}

namespace {

// The states told with and without FILE, in the summary's order.
QList<Count> StatusCounts(bool withFile) {
    if (withFile)
        return {{QStringLiteral("same")},
                {QStringLiteral("other")},
                {QStringLiteral("no-row")},
                {Unreachable}};
    return {{QStringLiteral("stored")}, {QStringLiteral("no-row")}, {Unreachable}};
}

} // namespace

QJsonObject StateFields(QJsonObject fields, const QStringList& args,
                        const std::optional<store::Fingerprint>& file, const QString& state) {
    fields.insert("id", args[0]);
    fields.insert("state", state);
    if (file) {
        fields.insert("file", args[1]);
        fields.insert("file_size", file->size);
    }
    return fields;
}

void InsertStored(QJsonObject& fields, const store::Fingerprint& stored) {
    fields.insert("size", stored.size);
    fields.insert("hash", QString::number(stored.serverHash));
}

QJsonObject Status::statusFields(const Target& target, const QString& state) const {
    return StateFields(outcomeFields(target), invocation().args, file_, state);
}

Report Status::Run(const Target& target, store::LayoutStore& layouts, Supervisor::Work&) const {
    const QString& reportId = invocation().args[0];
    const core::LayoutStatus status = core::StatusOf(layouts, reportId, file_);
    const QString shown = Escaped(reportId);
    const QString state = StateName(status.state);
    Report report;
    report.result = state;
    report.json = statusFields(target, state);
    InsertConnection(*report.json, layouts);
    if (status.state == State::NoRow) {
        report.Say(QStringLiteral("%1: no row %2").arg(target.database, shown));
        return report;
    }
    InsertStored(*report.json, status.stored);
    const QString told = status.state == State::Same
                             ? QStringLiteral("%1 bytes").arg(status.stored.size)
                             : Described(status.stored);
    report.Say(QStringLiteral("%1: %2 %3: %4").arg(target.database, state, shown, told));
    nameVersion(status.stored, report);
    return report;
}

Report Status::Failed(const Target& target, const QString& text,
                      const std::stop_token& stop) const {
    Report report = Command::Failed(target, text, stop);
    report.result = Unreachable;
    report.json = statusFields(target, Unreachable);
    report.json->insert("error", PlainLines(text));
    report.Say(
        QStringLiteral("%1: unreachable %2").arg(target.database, Escaped(invocation().args[0])));
    return report;
}

// The versions before the counts, so that the last line stays the counts.
void Status::Conclude(RunSummary& summary) {
    summary.counted = StatusCounts(file_.has_value());
    QStringList told;
    QJsonObject versions;
    for (const auto& [name, count] : summary.tally.versions()) {
        told << QStringLiteral("%1 %2").arg(count).arg(name);
        versions.insert(name, count);
    }
    if (!told.isEmpty())
        summary.lines << QStringLiteral("versions: ") + told.join(QStringLiteral("; "));
    summary.json.insert("versions", versions);
}

int Status::ExitCode(const Tally& tally) const {
    const int drift = tally[QStringLiteral("other")] + tally[QStringLiteral("no-row")];
    return tally.failed() == 0 && drift == 0 ? 0 : 1;
}

} // namespace cli
