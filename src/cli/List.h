#pragma once

#include "Command.h"

namespace cli {

// Identifier, size and SHA-256 of every stored layout.
class List final : public Command {
public:
    List();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
};

} // namespace cli
