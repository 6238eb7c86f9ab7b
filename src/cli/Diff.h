#pragma once

#include "Command.h"

#include <QJsonArray>
#include <QTemporaryFile>
#include <map>
#include <memory>
#include <mutex>

namespace cli {

// The databases of a diff grouped by what they hold: FILE's bytes, each other version in the
// order first met, no row, or not reached.
class DiffGroups {
public:
    enum class Kind { File, Other, NoRow, Unreachable };
    struct Group {
        Kind kind;
        store::Fingerprint version; // of File and Other
        QStringList databases;
    };

    // A database in the order told; the version only of File and Other.
    void Add(const QString& database, Kind kind, const store::Fingerprint& stored);
    // The groups with a database, FILE's first, then the other versions, no row, unreachable.
    std::vector<Group> Groups() const;

private:
    std::vector<Group> groups_;
};

// The downloaded versions, by size and hash; a null file while a download is under way.
using VersionFiles = std::map<std::pair<qint64, qint64>, std::shared_ptr<QTemporaryFile>>;

// What would change on each database if FILE replaced the layout: the databases grouped by the
// version they hold (one query each, as status makes), each other version downloaded once and
// shown as a unified diff against FILE through diff -u, or the command in KORVEX_DIFF.
class Diff final : public Command {
public:
    Diff();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    Report Failed(const Target& target, const QString& text,
                  const std::stop_token& stop) const override;
    void Observe(const Report& report) override;
    void Conclude(RunSummary& summary) override;
    // 0 every database holds FILE, 1 some hold another version or no row, 3 one was not reached
    // or a diff could not be shown.
    int ExitCode(const Tally& tally) const override;

protected:
    void Check(const QCommandLineParser& parser) override;

private:
    // The version, downloaded into a file unless another database did so or does already.
    void download(store::LayoutStore& layouts, const store::Fingerprint& version) const;
    QJsonObject diffFields(const Target& target, const QString& state) const;
    // The diff of one other version against FILE on standard output; false when it could not be
    // shown.
    bool show(const DiffGroups::Group& group) const;
    std::shared_ptr<QTemporaryFile> downloaded(const store::Fingerprint& version) const;
    QStringList diffCommand(const DiffGroups::Group& group, const QString& downloaded) const;
    void showGroups();
    QJsonArray groupsJson() const;

    std::optional<store::Fingerprint> file_;
    QStringList program_;   // with its arguments, the two files to come
    bool labelled_ = false; // diff -u's own, which takes labels
    DiffGroups groups_;
    bool diffFailed_ = false;

    mutable std::mutex mutex_;
    mutable VersionFiles downloads_;
};

} // namespace cli
