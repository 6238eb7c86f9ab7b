#pragma once

#include "Replace.h"

namespace cli {

// A replacement from a backup file, by default the newest one of the identifier on each database.
class Restore final : public Replace {
public:
    Restore();

private:
    void Check(const QCommandLineParser& parser) override;
    QString templateFile(const Target& target) const override;
};

} // namespace cli
