#include "Commands.h"

#include "Diff.h"
#include "Export.h"
#include "History.h"
#include "List.h"
#include "Replace.h"
#include "Restore.h"
#include "Status.h"
#include "Undo.h"

#include <algorithm>

namespace cli {
namespace {

template <typename C> std::unique_ptr<Command> Make() {
    return std::make_unique<C>();
}

template <typename Source> std::unique_ptr<Command> Journalled() {
    return std::make_unique<JournalledReplacement>(std::make_unique<Source>());
}

// In the order --help shows them: a new command is one line here.
constexpr std::unique_ptr<Command> (*Factories[])() = {
    Make<List>,
    Make<Export>,
    Journalled<ReplaceFile>,
    Journalled<RestoreBackup>,
    Journalled<UndoRun>,
    Make<Status>,
    Make<Diff>,
    Make<History>,
};

// "a, b or c".
QString Enumerated(const QStringList& items, const QString& last) {
    if (items.size() < 2)
        return items.join(QString());
    return items.first(items.size() - 1).join(QStringLiteral(", ")) + u' ' + last + u' ' +
           items.last();
}

// The server ignores trailing blanks when it compares: "INVOICE " would reach the INVOICE row,
// and its backup would be named after the blanks.
void CheckIdentifier(const Command& command, const QStringList& args) {
    const QList<Argument>& arguments = command.definition().arguments;
    for (qsizetype i = 0; i < args.size(); ++i)
        if (arguments[i].name == IdArgument && args[i].trimmed() != args[i])
            throw UsageProblem{
                QStringLiteral("the identifier \"%1\" starts or ends with a blank").arg(args[i])};
}

void CheckArguments(const Command& command, const QStringList& args) {
    const QString& name = command.definition().name;
    if (args.size() < command.fewestArguments() ||
        args.size() > command.definition().arguments.size())
        throw UsageProblem{QStringLiteral("wrong number of arguments for %1").arg(name)};
    if (args.contains(QString()))
        throw UsageProblem{QStringLiteral("an empty argument for %1").arg(name)};
    CheckIdentifier(command, args);
}

} // namespace

Commands::Commands() {
    for (const auto make : Factories)
        commands_.push_back(make());
}

QStringList Commands::names() const {
    QStringList names;
    for (const auto& command : commands_)
        names << command->definition().name;
    return names;
}

std::vector<Commands::CommandOption> Commands::commandOptions() const {
    std::vector<CommandOption> options;
    for (const auto& command : commands_)
        for (const QCommandLineOption& option : command->definition().options) {
            auto known = std::ranges::find_if(options, [&](const CommandOption& seen) {
                return seen.option.names() == option.names();
            });
            if (known == options.end())
                known = options.insert(options.end(), {option, {}});
            known->commands << command->definition().name;
        }
    return options;
}

void Commands::AddTo(QCommandLineParser& parser) const {
    parser.addPositionalArgument(QStringLiteral("command"),
                                 Enumerated(names(), QStringLiteral("or")) + u'.',
                                 QStringLiteral("command [arguments]"));
    for (CommandOption& each : commandOptions()) {
        each.option.setDescription(each.commands.join(QStringLiteral(", ")) + QStringLiteral(": ") +
                                   each.option.description());
        parser.addOption(each.option);
    }
}

QString Commands::Help() const {
    QString help = QStringLiteral("Commands:");
    for (const auto& command : commands_)
        help += QStringLiteral("\n  %1  %2")
                    .arg(command->synopsis().leftJustified(16), command->definition().help);
    return help;
}

std::unique_ptr<Command> Commands::Take(const QCommandLineParser& parser,
                                        const Invocation& invocation) {
    const QString name = parser.positionalArguments().value(0);
    const auto found = std::ranges::find_if(
        commands_, [&](const auto& command) { return command->definition().name == name; });
    if (found == commands_.end())
        throw UsageProblem{name.isEmpty() ? QStringLiteral("a command is needed: %1")
                                                .arg(Enumerated(names(), QStringLiteral("or")))
                                          : QStringLiteral("unknown command %1").arg(name)};
    Command& command = **found;
    CheckArguments(command, invocation.args);
    for (const CommandOption& each : commandOptions())
        if (parser.isSet(each.option) && !each.commands.contains(command.definition().name))
            throw UsageProblem{QStringLiteral("%1 goes with %2")
                                   .arg(Spelled(each.option.names().constFirst()),
                                        Enumerated(each.commands, QStringLiteral("and")))};
    command.Take(invocation, parser);
    return std::move(*found);
}

} // namespace cli
