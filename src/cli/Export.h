#pragma once

#include "Command.h"

namespace cli {

// The stored bytes of one layout, byte for byte, to a file or to standard output.
class Export final : public Command {
public:
    Export();
    // Writes standard output itself when FILE is -: it takes one database.
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;

private:
    void Check(const QCommandLineParser& parser) override;
};

} // namespace cli
