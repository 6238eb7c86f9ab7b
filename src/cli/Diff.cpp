#include "Diff.h"

#include "Output.h"
#include "Reporter.h"
#include "Status.h"
#include "TerminalText.h"
#include "platform/Process.h"
#include "store/ServerHash.h"

#include <QDir>
#include <QJsonArray>
#include <unistd.h>

namespace cli {
namespace {

using State = core::LayoutStatus::State;
using Kind = DiffGroups::Kind;

const char* const DiffVariable = "KORVEX_DIFF";

std::pair<qint64, qint64> KeyOf(const store::Fingerprint& version) {
    return {version.size, version.serverHash};
}

// From the result a database's report is counted as.
Kind KindOf(const QString& result) {
    if (result == StateName(State::Same))
        return Kind::File;
    if (result == StateName(State::NoRow))
        return Kind::NoRow;
    if (result == Unreachable)
        return Kind::Unreachable;
    return Kind::Other;
}

QString KindName(Kind kind) {
    switch (kind) {
    case Kind::File:
        return StateName(State::Same);
    case Kind::Other:
        return StateName(State::Other);
    case Kind::NoRow:
        return StateName(State::NoRow);
    case Kind::Unreachable:
        break;
    }
    return Unreachable;
}

// The program and its arguments: KORVEX_DIFF's words, else diff -u.
QStringList DiffProgram() {
    const QString asked = qEnvironmentVariable(DiffVariable);
    if (asked.trimmed().isEmpty())
        return {QStringLiteral("diff"), QStringLiteral("-u")};
    try {
        return platform::ShellWords(asked);
    } catch (const std::invalid_argument& error) {
        throw UsageProblem{QStringLiteral("%1 holds %2").arg(DiffVariable, error.what())};
    }
}

// A downloaded version's file, given up again unless it was completed.
class Claim {
public:
    Claim(std::mutex& mutex, VersionFiles& downloads, std::pair<qint64, qint64> key)
        : mutex_(mutex), downloads_(downloads), key_(key) {}
    ~Claim() {
        const std::lock_guard lock(mutex_);
        if (!file_)
            downloads_.erase(key_);
        else
            downloads_[key_] = file_;
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    void complete(std::shared_ptr<QTemporaryFile> file) { file_ = std::move(file); }

private:
    std::mutex& mutex_;
    VersionFiles& downloads_;
    const std::pair<qint64, qint64> key_;
    std::shared_ptr<QTemporaryFile> file_;
};

void WriteOut(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

void DiffGroups::Add(const QString& database, Kind kind, const store::Fingerprint& stored) {
    const bool versioned = kind == Kind::File || kind == Kind::Other;
    const auto group = std::ranges::find_if(groups_, [&](const Group& each) {
        return each.kind == kind && (!versioned || each.version == stored);
    });
    if (group != groups_.end())
        group->databases << database;
    else
        groups_.push_back({kind, versioned ? stored : store::Fingerprint{}, {database}});
}

std::vector<DiffGroups::Group> DiffGroups::Groups() const {
    std::vector<Group> ordered;
    for (const Kind kind : {Kind::File, Kind::Other, Kind::NoRow, Kind::Unreachable})
        std::ranges::copy_if(groups_, std::back_inserter(ordered),
                             [&](const Group& group) { return group.kind == kind; });
    return ordered;
}

Diff::Diff()
    : Command({QStringLiteral("diff"),
               {{IdArgument}, {QStringLiteral("FILE")}},
               {},
               QStringLiteral("what storing FILE would change: the databases grouped by the "
                              "version they hold, each other version shown as a diff -u "
                              "against FILE (or through KORVEX_DIFF)")}) {}

void Diff::Check(const QCommandLineParser&) {
    try {
        file_ = core::FileFingerprint(invocation().args[1]);
    } catch (const std::exception& error) {
        throw UsageProblem{QString::fromUtf8(error.what())};
    }
    labelled_ = qEnvironmentVariable(DiffVariable).trimmed().isEmpty();
    program_ = DiffProgram();
    // KORVEX_DIFF="''" is one empty word: no program either.
    if (program_.isEmpty() || program_.first().isEmpty())
        throw UsageProblem{QStringLiteral("%1 names no program").arg(DiffVariable)};
}

QJsonObject Diff::diffFields(const Target& target, const QString& state) const {
    return StateFields(outcomeFields(target), invocation().args, file_, state);
}

Report Diff::Run(const Target& target, store::LayoutStore& layouts, Supervisor::Work&) const {
    const core::LayoutStatus status = core::StatusOf(layouts, invocation().args[0], file_);
    Report report;
    report.result = StateName(status.state);
    report.json = diffFields(target, StateName(status.state));
    InsertConnection(*report.json, layouts);
    if (status.state == State::NoRow)
        return report;
    report.stored = status.stored;
    InsertStored(*report.json, status.stored);
    // JSON shows no diff: nothing to download.
    if (status.state == State::Other && !invocation().json)
        download(layouts, status.stored);
    return report;
}

void Diff::download(store::LayoutStore& layouts, const store::Fingerprint& version) const {
    {
        const std::lock_guard lock(mutex_);
        if (!downloads_.try_emplace(KeyOf(version)).second)
            return;
    }
    Claim claim(mutex_, downloads_, KeyOf(version));
    auto file = std::make_shared<QTemporaryFile>(QDir::temp().filePath("korvex-diff-XXXXXX"));
    if (!file->open())
        throw std::runtime_error(QStringLiteral("Cannot create file \"%1\". %2")
                                     .arg(file->fileTemplate(), file->errorString())
                                     .toStdString());
    store::FingerprintSink read;
    layouts.StreamLayout(invocation().args[0], [&](const char* data, qint64 count) {
        read.write(data, count);
        if (file->write(data, count) != count)
            throw std::runtime_error(
                QStringLiteral("Stream write error. %1").arg(file->errorString()).toStdString());
    });
    if (!file->flush())
        throw std::runtime_error(
            QStringLiteral("Stream write error. %1").arg(file->errorString()).toStdString());
    if (read.result() != version)
        throw std::runtime_error("the layout changed while it was read; try again");
    claim.complete(std::move(file));
}

Report Diff::Failed(const Target& target, const QString& text, const std::stop_token& stop) const {
    Report report = Command::Failed(target, text, stop);
    report.result = Unreachable;
    report.json = diffFields(target, Unreachable);
    report.json->insert("error", PlainLines(text));
    return report;
}

void Diff::Observe(const Report& report) {
    groups_.Add(report.database, KindOf(report.result),
                report.stored.value_or(store::Fingerprint{}));
}

std::shared_ptr<QTemporaryFile> Diff::downloaded(const store::Fingerprint& version) const {
    // An interrupted run ends with downloads still under way.
    const std::lock_guard lock(mutex_);
    const auto found = downloads_.find(KeyOf(version));
    return found == downloads_.end() ? nullptr : found->second;
}

// diff -u with labels naming the database and FILE, or KORVEX_DIFF's program as it is.
QStringList Diff::diffCommand(const DiffGroups::Group& group, const QString& downloaded) const {
    const QString& file = invocation().args[1];
    QStringList command = program_;
    if (labelled_)
        command << QStringLiteral("--label")
                << QStringLiteral("%1 on %2").arg(invocation().args[0], group.databases.first())
                << QStringLiteral("--label") << file;
    return command << downloaded << file;
}

bool Diff::show(const DiffGroups::Group& group) const {
    const std::shared_ptr<QTemporaryFile> version = downloaded(group.version);
    if (!version) {
        Print(stderr, QStringLiteral("korvex-reports: the version on %1 was not downloaded")
                          .arg(group.databases.constFirst()));
        return false;
    }
    const QStringList command = diffCommand(group, version->fileName());
    // A binary layout shown by another program than diff must not take the terminal over.
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    TerminalText shown;
    try {
        const int exitStatus = platform::RunProgram(command, [&](const QByteArray& bytes) {
            WriteOut(terminal ? shown.Feed(bytes) : bytes);
        });
        WriteOut(shown.Finish());
        if (exitStatus <= 1)
            return true;
        Print(stderr, QStringLiteral("korvex-reports: %1 ended with exit status %2")
                          .arg(command.constFirst())
                          .arg(exitStatus));
    } catch (const std::runtime_error& error) {
        Print(stderr, QStringLiteral("korvex-reports: ") + QString::fromUtf8(error.what()));
    }
    return false;
}

// For people, each group with its diff; the diffs' programs write to standard output themselves.
void Diff::showGroups() {
    const QString& id = invocation().args[0];
    for (const DiffGroups::Group& group : groups_.Groups()) {
        const QString listed = QStringLiteral("%1 database(s)").arg(group.databases.size());
        const QString named = group.databases.join(QStringLiteral(", "));
        switch (group.kind) {
        case Kind::File:
            Print(stdout, QStringLiteral("== %1 hold the bytes of %2 (%3): %4")
                              .arg(listed, invocation().args[1], Described(group.version), named));
            break;
        case Kind::Other:
            Print(stdout, QStringLiteral("== %1 hold another %2 (%3): %4")
                              .arg(listed, Escaped(id), Described(group.version), named));
            diffFailed_ = !show(group) || diffFailed_;
            break;
        case Kind::NoRow:
            Print(stdout,
                  QStringLiteral("== %1 have no row %2: %3").arg(listed, Escaped(id), named));
            break;
        case Kind::Unreachable:
            Print(stdout, QStringLiteral("== %1 not reached: %2").arg(listed, named));
            break;
        }
    }
}

QJsonArray Diff::groupsJson() const {
    QJsonArray groups;
    for (const DiffGroups::Group& group : groups_.Groups()) {
        QJsonObject object{{"state", KindName(group.kind)},
                           {"databases", QJsonArray::fromStringList(group.databases)},
                           {"file", group.kind == Kind::File}};
        if (group.kind == Kind::File || group.kind == Kind::Other)
            InsertStored(object, group.version);
        groups.append(object);
    }
    return groups;
}

void Diff::Conclude(RunSummary& summary) {
    summary.counted = {{StateName(State::Same)},
                       {StateName(State::Other)},
                       {StateName(State::NoRow)},
                       {Unreachable}};
    if (invocation().json)
        summary.json.insert("groups", groupsJson());
    else
        showGroups();
}

int Diff::ExitCode(const Tally& tally) const {
    if (tally.failed() > 0 || diffFailed_)
        return 3;
    return tally[StateName(State::Other)] + tally[StateName(State::NoRow)] > 0 ? 1 : 0;
}

} // namespace cli
