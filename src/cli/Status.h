#pragma once

#include "Command.h"
#include "core/Status.h"

namespace cli {

// Which databases hold a layout, or which version each holds, from its length and the server's
// HASH(): one query a database, never the layout itself.
class Status final : public Command {
public:
    Status();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    Report Failed(const Target& target, const QString& text,
                  const std::stop_token& stop) const override;
    QList<Count> Counted() const override;
    // Drift is a failure: 1 unless every database was reached and holds the file (without FILE:
    // holds a row).
    int ExitCode(const Tally& tally) const override;

protected:
    void Check(const QCommandLineParser& parser) override;

private:
    QJsonObject statusFields(const Target& target, const QString& state) const;

    std::optional<store::Fingerprint> file_;
};

} // namespace cli
