#pragma once

#include "Command.h"

#include <QJsonArray>

namespace cli {

// Identifier, size and SHA-256 of every stored layout.
class List final : public Command {
public:
    List();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    Report Failed(const Target& target, const QString& text) const override;
    void Tally(const Report& report) override;
    void Finish(int databases, int failed) override;

private:
    void Check(const QCommandLineParser& parser) override;

    bool json_ = false;
    QJsonArray databases_; // with --json, printed at the end
};

} // namespace cli
