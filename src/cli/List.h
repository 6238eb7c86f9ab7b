#pragma once

#include "Command.h"

#include <QJsonArray>

namespace cli {

// Identifier, size and SHA-256 of every stored layout.
class List final : public Command {
public:
    List();
    Report Run(const QString& target, store::LayoutStore& layouts,
               Supervisor::Target& work) const override;
    Report Failed(const QString& target, const QString& text) const override;
    void Tally(const Report& report) override;
    void Finish(int databases, int failed) override;

private:
    void Check(const QCommandLineParser& parser) override;

    bool json_ = false;
    QJsonArray databases_; // with --json, printed at the end
};

} // namespace cli
