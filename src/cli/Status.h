#pragma once

#include "Command.h"
#include "Versions.h"
#include "core/Status.h"

namespace cli {

// What status and diff call a database they could not work on.
extern const QString Unreachable;
// "same", "other", "stored", "no-row".
QString StateName(core::LayoutStatus::State state);
// "1234 bytes, server hash 5678".
QString Described(const store::Fingerprint& fingerprint);
// A database's JSON object as status and diff tell it: the fields every object starts with, the
// layout (args: ID [FILE]), its state and FILE's length where FILE is given.
QJsonObject StateFields(QJsonObject fields, const QStringList& args,
                        const std::optional<store::Fingerprint>& file, const QString& state);
// What the database holds, by its length and server hash.
void InsertStored(QJsonObject& fields, const store::Fingerprint& stored);

// Which databases hold a layout, or which version each holds, from its length and the server's
// HASH(): one query a database, never the layout itself. Versions are named after the files of a
// folder, or else after the files the journal's runs stored.
class Status final : public Command {
public:
    Status();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    Report Failed(const Target& target, const QString& text,
                  const std::stop_token& stop) const override;
    void Conclude(RunSummary& summary) override;
    // Drift is a failure: 1 unless every database was reached and holds the file (without FILE:
    // holds a row).
    int ExitCode(const Tally& tally) const override;

protected:
    void Check(const QCommandLineParser& parser) override;

private:
    QJsonObject statusFields(const Target& target, const QString& state) const;

    // The name of the version stored, in the line and the JSON object; unknown versions only
    // where a folder of versions was given.
    void nameVersion(const store::Fingerprint& stored, Report& report) const;

    std::optional<store::Fingerprint> file_;
    VersionNames versions_;
    bool versionsFolder_ = false;
};

} // namespace cli
