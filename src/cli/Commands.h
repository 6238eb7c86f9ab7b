#pragma once

#include "Command.h"

#include <memory>
#include <vector>

namespace cli {

// Every command of korvex-reports, from which the command line's help and checks are built.
class Commands {
public:
    Commands();

    // The command argument and every command's options, each once, its help led by the commands
    // it goes with.
    void AddTo(QCommandLineParser& parser) const;
    // The commands' part of --help.
    QString Help() const;
    // The command the parsed line names, checked against its arguments and options. Throws
    // UsageProblem.
    std::unique_ptr<Command> Take(const QCommandLineParser& parser, const Invocation& invocation);

private:
    struct CommandOption {
        QCommandLineOption option;
        QStringList commands; // the names of those it goes with
    };
    std::vector<CommandOption> commandOptions() const;
    QStringList names() const;

    std::vector<std::unique_ptr<Command>> commands_;
};

} // namespace cli
