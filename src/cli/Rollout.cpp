#include "Rollout.h"

#include "Command.h"
#include "Output.h"
#include "Supervisor.h"
#include "datamodule/Data.h"
#include "platform/ConnectionTarget.h"

namespace cli {
namespace {

// The data module on one database, its report list open.
void Open(TDM& dm, const QString& target, const Invocation& invocation) {
    dm.UseTarget(target);
    dm.UseLogin(invocation.login.user, invocation.login.password);
    dm.UseConnectTimeout(invocation.connectTimeout);
    dm.OpenReportList();
}

void SayInterrupted(int signal, qsizetype notStarted) {
    Print(stderr, QStringLiteral("korvex-reports: interrupted by %1; %2 database(s) not started")
                      .arg(SignalName(signal))
                      .arg(notStarted));
}

} // namespace

int Run(const Invocation& invocation, Command& command) {
    const QStringList targets = invocation.targets.isEmpty()
                                    ? QStringList{platform::DefaultConnectionTarget()}
                                    : invocation.targets;
    Supervisor supervisor(invocation.targetTimeout);
    int started = 0;
    int failed = 0;
    for (const QString& target : targets) {
        if (supervisor.interruption())
            break;
        ++started;
        const Supervisor::Target work(supervisor);
        bool done = false;
        try {
            TDM dm;
            const Supervisor::Stopper stopper(
                supervisor, [&dm](db::Database::Cancel how) { dm.IBD.CancelOperation(how); });
            Open(dm, target, invocation);
            done = command.Run(target, dm, supervisor);
        } catch (const std::exception& error) {
            command.Failed(target, supervisor.failureText(QString::fromUtf8(error.what())));
        }
        failed += done ? 0 : 1;
    }
    command.Finish(started, failed);
    if (const std::optional<int> signal = supervisor.interruption()) {
        SayInterrupted(*signal, targets.size() - started);
        return Interrupted;
    }
    return command.ExitCode(failed);
}

} // namespace cli
