#include "Processes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

ChildRun RunToEnd(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const auto start = std::chrono::steady_clock::now();
    process.start(program, arguments);
    const bool finished = process.waitForFinished(-1);
    ChildRun run{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                 process.readAll()};
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw std::runtime_error((program + u' ' + arguments.join(u' ')).toStdString() +
                                 " failed: " + process.errorString().toStdString() + "\n" +
                                 run.output.toStdString());
    return run;
}

namespace {

// "Key:   value ..." of /proc/<pid>/status; 0 once the process is gone.
long StatusValue(const QString& status, const char* key) {
    QFile file(status);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    return 0;
}

int OpenFiles(const QString& descriptors) {
    return static_cast<int>(
        QDir(descriptors).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

std::runtime_error Failure(const QString& program, const QStringList& arguments,
                           const QProcess& process, const QByteArray& output) {
    return std::runtime_error((program + u' ' + arguments.join(u' ')).toStdString() + " failed: " +
                              process.errorString().toStdString() + "\n" + output.toStdString());
}

} // namespace

WatchedRun Watched(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const auto start = std::chrono::steady_clock::now();
    process.start(program, arguments);
    if (!process.waitForStarted(-1))
        throw Failure(program, arguments, process, {});
    const QString proc = QStringLiteral("/proc/%1/").arg(process.processId());
    WatchedRun run;
    while (!process.waitForFinished(20)) {
        run.peakKib = std::max(run.peakKib, StatusValue(proc + "status", "VmHWM"));
        run.peakThreads =
            std::max(run.peakThreads, static_cast<int>(StatusValue(proc + "status", "Threads")));
        run.peakFiles = std::max(run.peakFiles, OpenFiles(proc + "fd"));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.output = process.readAll();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw Failure(program, arguments, process, run.output);
    return run;
}

int ReportPeakOf(char* argv[]) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child)
        return 127;
    std::printf("peak-kib %ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

ChildRun PeakOf(const QString& self, const QString& program, const QStringList& arguments) {
    return RunToEnd(self, QStringList{QStringLiteral("--peak-of"), program} + arguments);
}

long KibFrom(const QByteArray& output, const char* key) {
    const QByteArray prefix = QByteArray(key) + ' ';
    for (const QByteArray& line : output.split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().toLong();
    throw std::runtime_error(std::string("no ") + key + " in the output:\n" + output.toStdString());
}

long OwnPeakKib() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read /proc/self/status");
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) // "VmHWM:     1234 kB"
            return line.mid(6).trimmed().split(' ').first().toLong();
    throw std::runtime_error("no VmHWM in /proc/self/status");
}

} // namespace bench
