// What a replacement costs through the core against the floor (the raw client library doing the
// same database work in the same segments), how much memory it holds in the window and in
// korvex-reports, what one rollout call to many databases saves over one call per database, and
// what korvex-reports costs against the floor over an emulated slow link (time and round trips),
// and what a rollout to 500 offices behind emulated links costs against one office; all measured
// in one run on the test server, the compared cases taking turns. Run by hand; it never takes part
// in pass/fail tests. `korvex_bench --slow-link` runs the slow-link part alone, `korvex_bench
// --loopback` the replacement on loopback alone, `korvex_bench --offices` the rollout to many
// offices alone (their databases made once under /var/tmp/korvex-bench-offices, or
// $KORVEX_BENCH_OFFICES, and kept).

#include "Processes.h"
#include "RawClient.h"
#include "SlowLink.h"
#include "core/Replacement.h"
#include "datamodule/Data.h"
#include "datamodule/DataModuleStore.h"
#include "db/Blob.h"
#include "gui/Main.h"
#include "store/Digest.h"
#include "support/FbScratch.h"
#include "support/ModalDriver.h"
#include "support/TestBed.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using fbtest::ScratchDatabase;
using testbed::RandomBytes;

constexpr qsizetype KiB = 1024;
constexpr qsizetype MiB = 1024 * KiB;

// Fewer runs where one takes seconds, so that the whole run stays within minutes. Where process
// start-up and login weigh as much as the database work, korvex-reports is also held against the
// floor as a process of its own.
struct Plan {
    qsizetype size;
    int runs;
    bool floorProcess = false;
};
constexpr Plan SpeedPlans[] = {{1 * MiB, 9, true}, {16 * MiB, 5}, {128 * MiB, 3}};
constexpr qsizetype PeakSizes[] = {16 * MiB, 128 * MiB};
constexpr qsizetype PeakAllowance = 64 * MiB;
constexpr int RolloutDatabases = 20;
constexpr int RolloutRounds = 5;
constexpr qsizetype RolloutSize = 128 * KiB;

// Over a slow link: fewer runs, each costs seconds.
constexpr bench::LinkShape SlowShape{std::chrono::milliseconds(25), 4'000'000};
constexpr qsizetype SlowTemplateSize = 1 * MiB;
constexpr int SlowTemplateRuns = 3;
constexpr qsizetype TinyLayoutSize = 60;
constexpr int TinyLayoutRuns = 5;
constexpr qsizetype SlowRolloutSize = 20 * KiB;
constexpr int SlowRolloutRounds = 1;
constexpr int ManyJobs = 8;
// The floor's segments over a slow link: the largest the client library takes, for the fewest
// round trips.
constexpr unsigned short LargestSegment = 65535;

const char* const CoreRow = "CORE";
const char* const CliRow = "CLI";
const char* const PlainRow = "PLAIN";
const char* const FloorRow = "FLOOR";
const char* const LargeRow = "LARGE";
const char* const SmallRow = "SMALL";
const char* const FloorProcessRow = "FLOORPROC";

constexpr int PhaseCount = static_cast<int>(core::Phase::WaitingForDatabase) + 1;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Samples {
public:
    void add(double value) { values_.push_back(value); }
    double last() const { return values_.back(); }
    double median() const {
        std::vector<double> sorted = values_;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    // "median (fastest-slowest)", to show the noise.
    QString text() const {
        const auto [low, high] = std::minmax_element(values_.begin(), values_.end());
        return QString::asprintf("%.3f (%.3f-%.3f)", median(), *low, *high);
    }

private:
    std::vector<double> values_;
};

QString Mib(qsizetype bytes) {
    return QString::asprintf("%.0f MiB", static_cast<double>(bytes) / MiB);
}

QString LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    file.open(QIODevice::ReadOnly);
    return QString::fromLatin1(file.readAll()).section(u' ', 0, 2);
}

void Print(const QString& line) {
    std::puts(qUtf8Printable(line));
    std::fflush(stdout);
}

// A database with the product's REPORTS table and one row per name, each holding this content.
std::unique_ptr<ScratchDatabase> ReportsDatabase(const std::vector<const char*>& rows,
                                                 const QByteArray& content,
                                                 int port = fbtest::ServerPort) {
    auto scratch = std::make_unique<ScratchDatabase>(1, port);
    scratch->execute(
        "create table REPORTS (ID varchar(20) not null primary key, DESCR blob sub_type 0)");
    for (const char* row : rows)
        scratch->insertReport(row, content);
    return scratch;
}

void RequireStored(ScratchDatabase& scratch, const char* row, const QByteArray& expected,
                   const char* who) {
    if (scratch.readBlob("REPORTS", "DESCR", "ID", row) != expected)
        throw std::runtime_error(std::string(who) + ": what the server holds for " + row +
                                 " is not byte-exact");
}

// The folder for template files and backups; backups are cleared after each replacement, so
// that the large ones do not pile up on the disk.
class Workspace {
public:
    Workspace() : backups_(root_.filePath(QStringLiteral("backups"))) { QDir().mkpath(backups_); }

    QString write(const QString& name, const QByteArray& content) const {
        const QString path = root_.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            throw std::runtime_error("cannot write " + path.toStdString());
        return path;
    }
    const QString& backups() const { return backups_; }
    void clearBackups() const {
        QDir(backups_).removeRecursively();
        QDir().mkpath(backups_);
    }

private:
    QTemporaryDir root_;
    QString backups_;
};

// 1. The core's replacement against the floor.

struct CoreRun {
    double total = 0;
    std::array<double, PhaseCount> phases{}; // from each phase's first report to the next one's
};

CoreRun ReplaceThroughCore(core::Replacer& replacer, const QString& file,
                           const Workspace& workspace) {
    CoreRun run;
    const Clock::time_point start = Clock::now();
    Clock::time_point mark = start;
    int phase = -1;
    replacer.OnProgress = [&](const core::Progress& progress) {
        if (static_cast<int>(progress.phase) == phase)
            return;
        const Clock::time_point now = Clock::now();
        if (phase >= 0)
            run.phases[phase] += std::chrono::duration<double>(now - mark).count();
        phase = static_cast<int>(progress.phase);
        mark = now;
    };
    const core::Outcome outcome = replacer.Replace(
        CoreRow, file, core::ReplaceOptions{.backupDirectory = workspace.backups()});
    run.total = SecondsSince(start);
    if (phase >= 0)
        run.phases[phase] += SecondsSince(mark);
    if (outcome.result != core::Outcome::Result::Replaced)
        throw std::runtime_error("core: " + outcome.text.toStdString());
    workspace.clearBackups();
    return run;
}

// korvex-reports replace as a process, against the floor run in the same round.
struct CliSamples {
    Samples seconds, pairRatios, peakMib;
};

// The bench itself, in its hidden --peak-of mode, runs korvex-reports, so that the peak is its own.
QStringList PeakRunOfCli(const QStringList& arguments) {
    return QStringList{QStringLiteral("--peak-of"), KORVEX_REPORTS_BINARY} + arguments;
}

// One replacement by korvex-reports in a process of its own: seconds, and peak resident KiB.
std::pair<double, long> CliReplace(const char* row, const QString& file, const QString& target,
                                   const Workspace& workspace, const QStringList& options = {}) {
    const bench::ChildRun run = bench::RunToEnd(
        QCoreApplication::applicationFilePath(),
        PeakRunOfCli(QStringList{QStringLiteral("replace"), QString::fromLatin1(row), file,
                                 QStringLiteral("-d"), target, QStringLiteral("--backup-dir"),
                                 workspace.backups()} +
                     options));
    workspace.clearBackups();
    return {run.seconds, bench::KibFrom(run.output, "peak-kib")};
}

struct SpeedResult {
    Plan plan;
    Samples core, floor;
    Samples pairRatios; // each core run over the floor run right after it
    std::array<Samples, PhaseCount> phases;
    Samples floorRead, floorSend;
    double digestSeconds = 0; // one SHA-256 pass over the content
    double touchSeconds = 0;  // the first writes to fresh memory of the content's size
    CliSamples cli, plainCli; // korvex-reports with its default options, and with --no-compress
    Samples floorProcess;     // the floor as a process of its own
    Samples cliOverFloorProcess, plainCliOverFloorProcess; // each run over that of its round
    Samples cliStart;   // korvex-reports --version: start-up and exit alone
    long cliIdle = 0;   // KiB: korvex-reports replacing a 100-byte layout
    std::string engine; // the server's version, e.g. "4.0.5"
};

// Core and floor take turns on rows of the same database, so that a slow moment of the machine
// hits both alike; each run stores the other of two contents, checked byte for byte afterwards.
SpeedResult MeasureSpeed(const Plan& plan, const Workspace& workspace, int port) {
    const auto seed = static_cast<quint32>(plan.size / KiB);
    const QByteArray contents[2] = {RandomBytes(plan.size, seed), RandomBytes(plan.size, seed + 1)};
    const QString files[2] = {workspace.write(QStringLiteral("a.fr3"), contents[0]),
                              workspace.write(QStringLiteral("b.fr3"), contents[1])};
    const auto scratch = ReportsDatabase(
        {CoreRow, FloorRow, CliRow, PlainRow, SmallRow, FloorProcessRow}, contents[1], port);
    SpeedResult result;
    result.plan = plan;
    result.engine = scratch->engineVersion();
    result.cliIdle =
        CliReplace(SmallRow, workspace.write(QStringLiteral("small.fr3"), RandomBytes(100, seed)),
                   scratch->target(), workspace)
            .second;

    TDM dm;
    dm.UseTarget(scratch->target());
    dm.OpenReportList();
    DataModuleStore store(dm);
    core::Replacer replacer(store);
    bench::RawConnection floor(scratch->target().toStdString(), fbtest::User, fbtest::Password);
    for (int run = 0; run < plan.runs; ++run) {
        const int which = run % 2;
        // As at the window's start: the stored layout is read from the server, not found cached
        // from the run before.
        dm.OpenReportList();
        const CoreRun core = ReplaceThroughCore(replacer, files[which], workspace);
        result.core.add(core.total);
        for (int phase = 0; phase < PhaseCount; ++phase)
            result.phases[phase].add(core.phases[phase]);
        RequireStored(*scratch, CoreRow, contents[which], "core");

        const Clock::time_point start = Clock::now();
        const bench::FloorTimes times = floor.replaceReport(FloorRow, files[which]);
        const double floorSeconds = SecondsSince(start);
        result.floor.add(floorSeconds);
        result.pairRatios.add(core.total / floorSeconds);
        result.floorRead.add(times.storedRead);
        result.floorSend.add(times.sendAndCommit);
        RequireStored(*scratch, FloorRow, contents[which], "floor");

        const auto cliRun = [&](CliSamples& samples, const char* row, const QStringList& options) {
            const auto [seconds, peakKib] =
                CliReplace(row, files[which], scratch->target(), workspace, options);
            samples.seconds.add(seconds);
            samples.pairRatios.add(seconds / floorSeconds);
            samples.peakMib.add(peakKib / 1024.0);
            RequireStored(*scratch, row, contents[which], "korvex-reports");
        };
        cliRun(result.cli, CliRow, {});
        cliRun(result.plainCli, PlainRow, {QStringLiteral("--no-compress")});
        if (plan.floorProcess) {
            const double seconds =
                bench::RunToEnd(KORVEX_FLOOR_BINARY,
                                {scratch->target(), FloorProcessRow, files[which]})
                    .seconds;
            RequireStored(*scratch, FloorProcessRow, contents[which], "floor process");
            result.floorProcess.add(seconds);
            result.cliOverFloorProcess.add(result.cli.seconds.last() / seconds);
            result.plainCliOverFloorProcess.add(result.plainCli.seconds.last() / seconds);
            result.cliStart.add(
                bench::RunToEnd(KORVEX_REPORTS_BINARY, {QStringLiteral("--version")}).seconds);
        }
    }

    // What the core does beyond the floor's work, once each: it sums up old and new bytes, and
    // holds each in memory of its own.
    Clock::time_point start = Clock::now();
    store::DigestSink digest;
    digest.write(contents[0].constData(), contents[0].size());
    digest.result();
    result.digestSeconds = SecondsSince(start);
    start = Clock::now();
    QByteArray fresh(plan.size, Qt::Uninitialized);
    std::memset(fresh.data(), 1, fresh.size());
    result.touchSeconds = SecondsSince(start);
    return result;
}

// "Firebird 4.0.5 16 MiB": the tables have one row per engine and size.
QString RowName(const SpeedResult& result) {
    return QStringLiteral("Firebird %1 %2")
        .arg(QString::fromStdString(result.engine), Mib(result.plan.size));
}

double PhaseMedian(const SpeedResult& result, core::Phase phase) {
    return result.phases[static_cast<int>(phase)].median();
}

// Where start-up and login weigh most: the same program shape on both sides.
void PrintAgainstFloorProcess(const std::vector<SpeedResult>& results) {
    Print(QStringLiteral("\n   korvex-reports replace against the floor as a process of its own "
                         "(korvex_floor: start, attach, read the stored BLOB, the file into a new "
                         "one, update, commit, detach, exit), in the same rounds. Seconds, median "
                         "(fastest-slowest); /process: median of each run over the floor "
                         "process's run of its round; start: korvex-reports --version alone."));
    for (const SpeedResult& r : results) {
        if (!r.plan.floorProcess)
            continue;
        Print(QStringLiteral("%1 floor process %2, in-process floor %3; default /process %4, "
                             "--no-compress /process %5; start %6")
                  .arg(RowName(r), 24)
                  .arg(r.floorProcess.text(), r.floor.text())
                  .arg(r.cliOverFloorProcess.median(), 0, 'f', 2)
                  .arg(r.plainCliOverFloorProcess.median(), 0, 'f', 2)
                  .arg(r.cliStart.text()));
    }
}

void PrintSpeed(const std::vector<SpeedResult>& results) {
    constexpr int RowWidth = 24;
    Print(QStringLiteral("\n1. Replacement: the core (window's options: locate, backup, edit, "
                         "write, post, commit retaining; the report list freshly open) against "
                         "the floor (raw client: read the stored BLOB, the file into a new BLOB, "
                         "update, commit), both in %1-byte segments. Seconds, median "
                         "(fastest-slowest).")
              .arg(db::BlobSegmentSize));
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6")
              .arg(QStringLiteral("engine, size"), RowWidth)
              .arg(QStringLiteral("runs"), 5)
              .arg(QStringLiteral("core"), 26)
              .arg(QStringLiteral("floor"), 26)
              .arg(QStringLiteral("core/floor"), 11)
              .arg(QStringLiteral("median of pairs (target <= 1.05)"), 33));
    for (const SpeedResult& r : results)
        Print(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(RowName(r), RowWidth)
                  .arg(r.plan.runs, 5)
                  .arg(r.core.text(), 26)
                  .arg(r.floor.text(), 26)
                  .arg(r.core.median() / r.floor.median(), 11, 'f', 2)
                  .arg(r.pairRatios.median(), 33, 'f', 2));

    Print(QStringLiteral("\n   korvex-reports replace (a process each; default options, and "
                         "--no-compress) in the same rounds against the same floor. Seconds, "
                         "median (fastest-slowest); /floor: median of each run over the floor's "
                         "run of its round (target <= 1.10 at 16 and 128 MiB; on loopback the "
                         "default is uncompressed, which --no-compress stands for where this "
                         "build compresses by default). Peak resident MiB, median, against "
                         "korvex-reports replacing a 100-byte layout (target: peak <= idle + "
                         "16)."));
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
              .arg(QStringLiteral("engine, size"), RowWidth)
              .arg(QStringLiteral("default"), 26)
              .arg(QStringLiteral("/floor"), 7)
              .arg(QStringLiteral("--no-compress"), 26)
              .arg(QStringLiteral("/floor"), 7)
              .arg(QStringLiteral("idle"), 6)
              .arg(QStringLiteral("peak default|plain"), 19)
              .arg(QStringLiteral("peak-idle"), 10));
    for (const SpeedResult& r : results) {
        const double idle = r.cliIdle / 1024.0;
        const double worst = std::max(r.cli.peakMib.median(), r.plainCli.peakMib.median());
        Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
                  .arg(RowName(r), RowWidth)
                  .arg(r.cli.seconds.text(), 26)
                  .arg(r.cli.pairRatios.median(), 7, 'f', 2)
                  .arg(r.plainCli.seconds.text(), 26)
                  .arg(r.plainCli.pairRatios.median(), 7, 'f', 2)
                  .arg(idle, 6, 'f', 1)
                  .arg(QString::asprintf("%.1f | %.1f", r.cli.peakMib.median(),
                                         r.plainCli.peakMib.median()),
                       19)
                  .arg(QString::asprintf("%.1f %s", worst - idle,
                                         worst - idle <= 16 ? "met" : "MISSED"),
                       10));
    }

    PrintAgainstFloorProcess(results);

    using core::Phase;
    Print(QStringLiteral("\n   Where the core's time goes (medians, s; core | floor where both "
                         "do it):"));
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
              .arg(QStringLiteral("engine, size"), RowWidth)
              .arg(QStringLiteral("stored read"), 16)
              .arg(QStringLiteral("backup+fsync+SHA"), 17)
              .arg(QStringLiteral("file read+SHA"), 14)
              .arg(QStringLiteral("send+update+commit"), 19)
              .arg(QStringLiteral("one SHA-256 pass"), 17)
              .arg(QStringLiteral("touching fresh memory"), 22));
    for (const SpeedResult& r : results)
        Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                  .arg(RowName(r), RowWidth)
                  .arg(QString::asprintf("%.3f | %.3f", PhaseMedian(r, Phase::ReadingStored),
                                         r.floorRead.median()),
                       16)
                  .arg(PhaseMedian(r, Phase::WritingBackup), 17, 'f', 3)
                  .arg(PhaseMedian(r, Phase::ReadingTemplate), 14, 'f', 3)
                  .arg(QString::asprintf("%.3f | %.3f",
                                         PhaseMedian(r, Phase::SendingNew) +
                                             PhaseMedian(r, Phase::WaitingForDatabase),
                                         r.floorSend.median()),
                       19)
                  .arg(r.digestSeconds, 17, 'f', 3)
                  .arg(r.touchSeconds, 22, 'f', 3));
}

// 2. Peak resident memory, each replacement in a fresh process.

struct PeakResult {
    qsizetype size;
    long windowIdle, windowPeak, cliIdle, cliPeak; // KiB
};

// The window's replacement in a fresh process, the user's part played: prints its peak resident
// size with the report list open ("idle-kib"), then replaces and exits 0 on success.
int WindowReplace(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList args = application.arguments(); // self --window TARGET ID FILE BACKUPS
    if (args.size() != 6 || !QDir::setCurrent(args[5]))
        return 2;
    TMainF window;
    TDM dm;
    dm.UseTarget(args[2]);
    window.UseDataModule(dm);
    dm.OpenReportList();
    window.show();
    QApplication::processEvents();
    std::printf("idle-kib %ld\n", bench::OwnPeakKib());
    apptest::ModalDriver user;
    user.ChooseFile(args[4]);
    window.UpdateReport(args[3]);
    if (user.boxes.size() == 1 && user.boxes[0].icon == QMessageBox::Information)
        return 0;
    for (const apptest::SeenBox& box : user.boxes)
        std::fprintf(stderr, "%s\n%s\n", qUtf8Printable(box.text), qUtf8Printable(box.details));
    return 1;
}

PeakResult MeasurePeak(qsizetype size, ScratchDatabase& scratch, const Workspace& workspace) {
    const QString self = QCoreApplication::applicationFilePath();
    const QString target = scratch.target();
    const auto seed = static_cast<quint32>(size / KiB) + 7;
    const QByteArray contents[2] = {RandomBytes(size, seed), RandomBytes(size, seed + 1)};
    const QString files[2] = {workspace.write(QStringLiteral("peak-a.fr3"), contents[0]),
                              workspace.write(QStringLiteral("peak-b.fr3"), contents[1])};
    const QString small = workspace.write(QStringLiteral("small.fr3"), RandomBytes(100, seed));
    const QStringList intoDatabase{QStringLiteral("-d"), target, QStringLiteral("--backup-dir"),
                                   workspace.backups()};
    // What each replaces was stored at the same size.
    scratch.writeBlob("REPORTS", "DESCR", "ID", LargeRow, contents[1]);

    PeakResult result{size, 0, 0, 0, 0};
    const QByteArray window =
        bench::PeakOf(self, self,
                      {QStringLiteral("--window"), target, LargeRow, files[0], workspace.backups()})
            .output;
    result.windowIdle = bench::KibFrom(window, "idle-kib");
    result.windowPeak = bench::KibFrom(window, "peak-kib");
    RequireStored(scratch, LargeRow, contents[0], "window");
    workspace.clearBackups();

    result.cliIdle = bench::KibFrom(
        bench::PeakOf(self, KORVEX_REPORTS_BINARY,
                      QStringList{QStringLiteral("replace"), SmallRow, small} + intoDatabase)
            .output,
        "peak-kib");
    result.cliPeak = bench::KibFrom(
        bench::PeakOf(self, KORVEX_REPORTS_BINARY,
                      QStringList{QStringLiteral("replace"), LargeRow, files[1]} + intoDatabase)
            .output,
        "peak-kib");
    RequireStored(scratch, LargeRow, contents[1], "korvex-reports");
    workspace.clearBackups();
    return result;
}

void PrintPeaks(const std::vector<PeakResult>& results) {
    Print(QStringLiteral("\n2. Peak resident memory (VmHWM / ru_maxrss, MiB) of one replacement "
                         "in a fresh process; the stored layout it replaces is as large. Idle: "
                         "the window with its report list open; korvex-reports replacing a "
                         "100-byte layout."));
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6")
              .arg(QStringLiteral("size"), 8)
              .arg(QStringLiteral("path"), 15)
              .arg(QStringLiteral("idle"), 7)
              .arg(QStringLiteral("peak"), 7)
              .arg(QStringLiteral("(peak-idle)/size"), 17)
              .arg(QStringLiteral("target: size + 64"), 18));
    const auto row = [](qsizetype size, const char* path, long idle, long peak) {
        const double target = static_cast<double>(size + PeakAllowance) / MiB;
        Print(QStringLiteral("%1 %2 %3 %4 %5 %6")
                  .arg(Mib(size), 8)
                  .arg(QString::fromLatin1(path), 15)
                  .arg(idle / 1024.0, 7, 'f', 1)
                  .arg(peak / 1024.0, 7, 'f', 1)
                  .arg((peak - idle) * double(KiB) / static_cast<double>(size), 17, 'f', 2)
                  .arg(QString::asprintf("%.0f %s", target,
                                         peak / 1024.0 <= target ? "met" : "MISSED"),
                       18));
    };
    for (const PeakResult& r : results) {
        row(r.size, "window", r.windowIdle, r.windowPeak);
        row(r.size, "korvex-reports", r.cliIdle, r.cliPeak);
    }
}

// 3. A rollout to many databases: one call against one call per database.

struct RolloutResult {
    Samples oneCall, separateCalls;
};

RolloutResult MeasureRollout(const Workspace& workspace) {
    std::vector<std::unique_ptr<ScratchDatabase>> databases;
    QStringList targets;
    for (int i = 0; i < RolloutDatabases; ++i) {
        databases.push_back(ReportsDatabase({SmallRow}, "old"));
        targets << QStringLiteral("-d") << databases.back()->target();
    }
    const auto replace = [&](const QString& file, const QStringList& into) {
        return bench::RunToEnd(KORVEX_REPORTS_BINARY,
                               QStringList{QStringLiteral("replace"), SmallRow, file} + into +
                                   QStringList{QStringLiteral("--backup-dir"), workspace.backups()})
            .seconds;
    };
    const auto requireEverywhere = [&](const QByteArray& layout, const char* who) {
        for (const auto& database : databases)
            RequireStored(*database, SmallRow, layout, who);
        workspace.clearBackups();
    };

    // A fresh layout for every call, so that none finds its layout stored already.
    RolloutResult result;
    for (int round = 0; round < RolloutRounds; ++round) {
        const QByteArray together = RandomBytes(RolloutSize, 1000 + 2 * round);
        result.oneCall.add(
            replace(workspace.write(QStringLiteral("together.fr3"), together), targets));
        requireEverywhere(together, "one call");

        const QByteArray separately = RandomBytes(RolloutSize, 1001 + 2 * round);
        const QString file = workspace.write(QStringLiteral("separately.fr3"), separately);
        double seconds = 0;
        for (int i = 0; i < RolloutDatabases; ++i)
            seconds += replace(file, targets.mid(2 * i, 2));
        result.separateCalls.add(seconds);
        requireEverywhere(separately, "separate calls");
    }
    return result;
}

void PrintRollout(const RolloutResult& r) {
    Print(QStringLiteral("\n3. Rollout of a %1 KiB layout to %2 databases with korvex-reports "
                         "replace, %3 rounds, each with fresh layouts. Seconds, median "
                         "(fastest-slowest).")
              .arg(RolloutSize / KiB)
              .arg(RolloutDatabases)
              .arg(RolloutRounds));
    Print(QStringLiteral("   one call with %1 x -d: %2; %1 separate calls: %3; one/separate: %4 "
                         "(target <= 0.50)")
              .arg(RolloutDatabases)
              .arg(r.oneCall.text(), r.separateCalls.text())
              .arg(r.oneCall.median() / r.separateCalls.median(), 0, 'f', 2));
    const double perDatabase = r.oneCall.median() / RolloutDatabases;
    Print(QStringLiteral("   per database: %1 ms within one call; a call of its own adds %2 ms "
                         "(process start and exit, the client library's set-up and shut-down)")
              .arg(perDatabase * 1000, 0, 'f', 0)
              .arg((r.separateCalls.median() / RolloutDatabases - perDatabase) * 1000, 0, 'f', 0));
}

// 4. Over a slow link: korvex-reports against the floor through the same emulated link.

// A layout template as the designer saves it: bands of fields, much alike, so that it packs about
// 16:1. Exactly size bytes, a comment filling what the last band leaves.
QByteArray XmlTemplate(qsizetype size, quint32 seed) {
    static const char* const fields[] = {
        "ORDER_NO",   "CUSTOMER", "CUST_NAME",  "ADDRESS1",  "ADDRESS2", "CITY", "ZIP",
        "COUNTRY",    "PHONE",    "ORDER_DATE", "SHIP_DATE", "AMOUNT",   "TAX",  "TOTAL",
        "PAY_METHOD", "ITEM_NO",  "QTY",        "PRICE",     "DISCOUNT", "NOTES"};
    static const char* const aligns[] = {"Left", "Right", "Center"};
    static const int widths[] = {20, 30, 40, 60};
    QRandomGenerator random(seed);
    const auto pick = [&](const auto& choices) {
        return choices[random.bounded(static_cast<int>(std::size(choices)))];
    };
    const QByteArray tail = " </Page>\n</Report>\n";
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<Report Version=\"2.4\" Units=\"mm\" PrintIfEmpty=\"False\">\n"
        " <Page Name=\"Page1\" Width=\"210\" Height=\"297\" Margins=\"10 10 10 10\">\n";
    for (int band = 1, memo = 1;; ++band) {
        QByteArray next = QByteArray("  <Band Name=\"Band") + QByteArray::number(band) +
                          "\" Kind=\"MasterData\" Top=\"" +
                          QByteArray::number(2 * random.bounded(141)) +
                          "\" Height=\"18.90\" DataSet=\"Orders\">\n";
        for (int count = 4 + random.bounded(9); count > 0; --count, ++memo)
            next += QString::asprintf("   <Memo Name=\"Memo%d\" Left=\"%d\" Top=\"0\" Width=\"%d\" "
                                      "Height=\"18.90\" Font=\"Arial,10,Regular\" Align=\"%s\" "
                                      "Text=\"[Orders.%s]\"/>\n",
                                      memo, 2 * random.bounded(96), pick(widths), pick(aligns),
                                      pick(fields))
                        .toLatin1();
        next += "  </Band>\n";
        if (xml.size() + next.size() + tail.size() + 8 > size)
            break;
        xml += next;
    }
    const qsizetype filling = size - xml.size() - tail.size() - 8;
    return xml + "<!--" + QByteArray(filling, ' ') + "-->\n" + tail;
}

// What a measured call took: seconds and the link's traffic.
struct LinkRun {
    double seconds = 0;
    bench::LinkTraffic traffic;
};

template <class Work> LinkRun OverLink(const bench::SlowLink& link, Work&& work) {
    const bench::LinkTraffic before = link.traffic();
    const Clock::time_point start = Clock::now();
    work();
    return {SecondsSince(start), link.traffic() - before};
}

class LinkSamples {
public:
    void add(const LinkRun& run) {
        seconds.add(run.seconds);
        roundTrips.add(run.traffic.roundTrips());
        toServer.add(static_cast<double>(run.traffic.toServer));
        toClient.add(static_cast<double>(run.traffic.toClient));
    }
    // "round trips, KiB to the server / to the client", medians.
    QString trafficText() const {
        return QString::asprintf("%.0f rt, %.0f/%.0f KiB", roundTrips.median(),
                                 toServer.median() / KiB, toClient.median() / KiB);
    }

    Samples seconds, roundTrips, toServer, toClient;
};

// The link stands for an office's, which korvex-reports compresses by default; on loopback it
// would not.
QStringList IntoDatabases(const QStringList& targets, const Workspace& workspace) {
    QStringList arguments{QStringLiteral("--compress")};
    for (const QString& target : targets)
        arguments << QStringLiteral("-d") << target;
    return arguments << QStringLiteral("--backup-dir") << workspace.backups();
}

void ReplaceWithCli(const char* row, const QString& file, const QStringList& into) {
    bench::RunToEnd(KORVEX_REPORTS_BINARY,
                    QStringList{QStringLiteral("replace"), QString::fromLatin1(row), file} + into);
}

// The floor over the link: its own attachment with wire compression, the stored layout read into
// a file, the new one written in the largest segments.
void ReplaceWithFloor(const QString& target, const char* row, const QString& file,
                      const QString& storedCopy) {
    bench::RawConnection floor(target.toStdString(), fbtest::User, fbtest::Password,
                               bench::Wire::Compressed);
    floor.replaceReport(row, file, bench::FloorWork{LargestSegment, storedCopy});
}

void RequireFile(const QString& path, const QByteArray& expected, const char* who) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != expected)
        throw std::runtime_error(std::string(who) + ": the copy of the stored layout in " +
                                 path.toStdString() + " is not byte-exact");
}

struct SlowReplaceResult {
    qsizetype size;
    int runs;
    LinkSamples cli, floor;
    Samples pairRatios;
};

// korvex-reports and the floor take turns, each replacing the other of two contents on its own row.
SlowReplaceResult MeasureSlowReplace(const bench::SlowLink& link, const Workspace& workspace,
                                     const QByteArray (&contents)[2], int runs) {
    const QString files[2] = {workspace.write(QStringLiteral("slow-a.fr3"), contents[0]),
                              workspace.write(QStringLiteral("slow-b.fr3"), contents[1])};
    const QString storedCopy = workspace.write(QStringLiteral("floor-stored.fr3"), {});
    const auto scratch = ReportsDatabase({CliRow, FloorRow}, contents[1]);
    const QString target = link.target(scratch->path());
    const QStringList into = IntoDatabases({target}, workspace);
    SlowReplaceResult result{contents[0].size(), runs, {}, {}, {}};
    for (int run = 0; run < runs; ++run) {
        const int which = run % 2;
        const LinkRun cli = OverLink(link, [&] { ReplaceWithCli(CliRow, files[which], into); });
        result.cli.add(cli);
        RequireStored(*scratch, CliRow, contents[which], "korvex-reports over the link");
        workspace.clearBackups();

        const LinkRun floor =
            OverLink(link, [&] { ReplaceWithFloor(target, FloorRow, files[which], storedCopy); });
        result.floor.add(floor);
        result.pairRatios.add(cli.seconds / floor.seconds);
        RequireStored(*scratch, FloorRow, contents[which], "floor over the link");
        RequireFile(storedCopy, contents[1 - which], "floor over the link");
    }
    return result;
}

struct SlowRolloutResult {
    bool jobsAvailable = false;
    LinkSamples sequential, parallel, floor;
};

bool CliHasJobs() {
    return bench::RunToEnd(KORVEX_REPORTS_BINARY, {QStringLiteral("--help")})
        .output.contains("--jobs");
}

// Each call replaces a layout of the same size. One call to every database with --jobs 1 and with
// --jobs 8 (one plain call where the option is missing), against the floor doing the databases one
// after another in one process.
SlowRolloutResult MeasureSlowRollout(const bench::SlowLink& link, const Workspace& workspace) {
    std::vector<std::unique_ptr<ScratchDatabase>> databases;
    QStringList targets;
    for (int i = 0; i < RolloutDatabases; ++i) {
        databases.push_back(ReportsDatabase({SmallRow}, XmlTemplate(SlowRolloutSize, 2999)));
        targets << link.target(databases.back()->path());
    }
    const QStringList into = IntoDatabases(targets, workspace);
    const auto requireEverywhere = [&](const QByteArray& layout, const char* who) {
        for (const auto& database : databases)
            RequireStored(*database, SmallRow, layout, who);
        workspace.clearBackups();
    };
    const QString storedCopy = workspace.write(QStringLiteral("floor-stored.fr3"), {});

    SlowRolloutResult result;
    result.jobsAvailable = CliHasJobs();
    const auto jobs = [&](int count) {
        return result.jobsAvailable ? QStringList{QStringLiteral("--jobs"), QString::number(count)}
                                    : QStringList{};
    };
    quint32 seed = 3000;
    const auto rollOut = [&](LinkSamples& samples, const char* who, const auto& replace) {
        const QByteArray layout = XmlTemplate(SlowRolloutSize, ++seed);
        const QString file = workspace.write(QStringLiteral("slow-rollout.fr3"), layout);
        samples.add(OverLink(link, [&] { replace(file); }));
        requireEverywhere(layout, who);
    };
    for (int round = 0; round < SlowRolloutRounds; ++round) {
        rollOut(result.sequential, "korvex-reports, one job",
                [&](const QString& file) { ReplaceWithCli(SmallRow, file, into + jobs(1)); });
        if (result.jobsAvailable)
            rollOut(result.parallel, "korvex-reports, many jobs", [&](const QString& file) {
                ReplaceWithCli(SmallRow, file, into + jobs(ManyJobs));
            });
        rollOut(result.floor, "floor rollout", [&](const QString& file) {
            for (const QString& target : targets)
                ReplaceWithFloor(target, SmallRow, file, storedCopy);
        });
    }
    return result;
}

void PrintSlowReplace(const SlowReplaceResult& r) {
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
              .arg(r.size >= MiB ? Mib(r.size) : QStringLiteral("%1 B").arg(r.size), 8)
              .arg(r.runs, 5)
              .arg(r.cli.seconds.text(), 26)
              .arg(r.floor.seconds.text(), 26)
              .arg(r.pairRatios.median(), 16, 'f', 2)
              .arg(r.cli.trafficText(), 24)
              .arg(r.floor.trafficText(), 24));
}

void PrintSlowLink(const std::vector<SlowReplaceResult>& replacements,
                   const SlowRolloutResult& rollout, qsizetype packedTemplate) {
    Print(QStringLiteral("\n4. Over an emulated link of %1 ms round trip and %2 Mbit/s (a proxy "
                         "on loopback). korvex-reports replace (a process each) against the floor "
                         "(raw client: attach with wire compression, read the stored BLOB into "
                         "a file, write the new one in %3-byte segments, update, commit, "
                         "detach). The 1 MiB template is XML (zlib: %4 bytes). Seconds, median "
                         "(fastest-slowest); traffic: round trips, KiB to the server/to the "
                         "client.")
              .arg(2 * SlowShape.oneWayDelay.count() / 1000)
              .arg(static_cast<double>(SlowShape.bitsPerSecond) / 1e6)
              .arg(LargestSegment)
              .arg(packedTemplate));
    Print(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
              .arg(QStringLiteral("size"), 8)
              .arg(QStringLiteral("runs"), 5)
              .arg(QStringLiteral("korvex-reports"), 26)
              .arg(QStringLiteral("floor"), 26)
              .arg(QStringLiteral("median of pairs"), 16)
              .arg(QStringLiteral("korvex-reports traffic"), 24)
              .arg(QStringLiteral("floor traffic"), 24));
    for (const SlowReplaceResult& r : replacements)
        PrintSlowReplace(r);

    Print(QStringLiteral("\n   Rollout of a %1 KiB XML layout to %2 databases over the link, %3 "
                         "round(s); the floor does them one after another in one process.")
              .arg(SlowRolloutSize / KiB)
              .arg(RolloutDatabases)
              .arg(SlowRolloutRounds));
    const double floor = rollout.floor.seconds.median();
    const auto line = [&](const char* who, const LinkSamples& samples) {
        Print(QStringLiteral("   %1 %2 s, %3; /floor %4")
                  .arg(QString::fromLatin1(who), -22)
                  .arg(samples.seconds.text(), 26)
                  .arg(samples.trafficText(), 26)
                  .arg(samples.seconds.median() / floor, 0, 'f', 2));
    };
    line(rollout.jobsAvailable ? "--jobs 1" : "one call (sequential)", rollout.sequential);
    if (rollout.jobsAvailable) {
        line(qPrintable(QStringLiteral("--jobs %1").arg(ManyJobs)), rollout.parallel);
        Print(QStringLiteral("   --jobs %1 / --jobs 1: %2")
                  .arg(ManyJobs)
                  .arg(rollout.parallel.seconds.median() / rollout.sequential.seconds.median(), 0,
                       'f', 2));
    } else {
        Print(QStringLiteral("   --jobs is not available in this korvex-reports: one sequential "
                             "call measured instead."));
    }
    line("floor", rollout.floor);
}

void SlowLinkSection(const Workspace& workspace) {
    const bench::SlowLink link(SlowShape, std::chrono::seconds(600));
    std::fprintf(stderr, "over the slow link (port %d)...\n", link.port());
    const QByteArray templates[2] = {XmlTemplate(SlowTemplateSize, 1),
                                     XmlTemplate(SlowTemplateSize, 2)};
    const QByteArray tiny[2] = {RandomBytes(TinyLayoutSize, 60), RandomBytes(TinyLayoutSize, 61)};
    std::vector<SlowReplaceResult> replacements;
    replacements.push_back(MeasureSlowReplace(link, workspace, templates, SlowTemplateRuns));
    replacements.push_back(MeasureSlowReplace(link, workspace, tiny, TinyLayoutRuns));
    std::fprintf(stderr, "rollout over the slow link...\n");
    const SlowRolloutResult rollout = MeasureSlowRollout(link, workspace);
    PrintSlowLink(replacements, rollout, qCompress(templates[0]).size());
}

// 5. A rollout to many offices, each behind an office link of its own: one proxy, which delays
// and paces every connection by itself.

constexpr int Offices = 500;
constexpr int FewOffices = 50; // the same rollout to fewer: what grows with the targets
constexpr int OfficeJobs = 32;
constexpr qsizetype OfficeLayoutSize = 20 * KiB;
constexpr int SingleOfficeRuns = 3; // before the rollouts, and as many after

// Where the offices' databases stay between runs, as making 500 takes minutes.
QString OfficesFolder() {
    const QString chosen = qEnvironmentVariable("KORVEX_BENCH_OFFICES");
    return chosen.isEmpty() ? QStringLiteral("/var/tmp/korvex-bench-offices") : chosen;
}

// The offices' database files, each made where it is missing.
std::vector<std::string> OfficeDatabases() {
    const QDir folder(OfficesFolder());
    if (!QDir().mkpath(folder.path()))
        throw std::runtime_error("cannot make " + folder.path().toStdString());
    std::vector<std::string> paths;
    for (int office = 1; office <= Offices; ++office) {
        const QString path = folder.filePath(QString::asprintf("office-%03d.fdb", office));
        if (!QFile::exists(path))
            bench::RawConnection::createReportsDatabase(fbtest::Target(path.toStdString()),
                                                        fbtest::User, fbtest::Password, SmallRow);
        paths.push_back(path.toStdString());
    }
    return paths;
}

void RequireOffice(const std::string& path, const QByteArray& expected) {
    bench::RawConnection office(fbtest::Target(path), fbtest::User, fbtest::Password);
    if (office.storedReport(SmallRow) != expected)
        throw std::runtime_error("what " + path + " holds after the rollout is not byte-exact");
}

struct OfficesResult {
    Samples single; // one office, before and after the rollouts
    bench::WatchedRun few, all;
};

// Each rollout stores a fresh layout, so that every office replaces it, checked on each.
OfficesResult MeasureOffices(const Workspace& workspace) {
    const std::vector<std::string> paths = OfficeDatabases();
    const bench::SlowLink link(SlowShape, std::chrono::seconds(1800));
    QStringList targets;
    for (const std::string& path : paths)
        targets << link.target(path);
    quint32 seed = 5000;
    const auto rollOut = [&](int offices) {
        const QByteArray layout = XmlTemplate(OfficeLayoutSize, ++seed);
        const QString file = workspace.write(QStringLiteral("office.fr3"), layout);
        const bench::WatchedRun run =
            bench::Watched(KORVEX_REPORTS_BINARY,
                           QStringList{QStringLiteral("replace"), SmallRow, file} +
                               IntoDatabases(targets.mid(0, offices), workspace) +
                               QStringList{QStringLiteral("--jobs"), QString::number(OfficeJobs)});
        for (int office = 0; office < offices; ++office)
            RequireOffice(paths[office], layout);
        workspace.clearBackups();
        return run;
    };
    OfficesResult result;
    for (int run = 0; run < SingleOfficeRuns; ++run)
        result.single.add(rollOut(1).seconds);
    std::fprintf(stderr, "rollout to %d offices...\n", FewOffices);
    result.few = rollOut(FewOffices);
    std::fprintf(stderr, "rollout to %d offices...\n", Offices);
    result.all = rollOut(Offices);
    for (int run = 0; run < SingleOfficeRuns; ++run)
        result.single.add(rollOut(1).seconds);
    return result;
}

void PrintOffices(const OfficesResult& r) {
    const double ideal = static_cast<double>(Offices) / OfficeJobs * r.single.median();
    Print(QStringLiteral("\n5. Rollout of a %1 KiB XML layout with korvex-reports replace --jobs "
                         "%2 (default options otherwise), each office behind its own emulated "
                         "link of %3 ms round trip and %4 Mbit/s. One office: %5 s, median "
                         "(fastest-slowest) of %6 runs, half before and half after the "
                         "rollouts.")
              .arg(OfficeLayoutSize / KiB)
              .arg(OfficeJobs)
              .arg(2 * SlowShape.oneWayDelay.count() / 1000)
              .arg(static_cast<double>(SlowShape.bitsPerSecond) / 1e6)
              .arg(r.single.text())
              .arg(2 * SingleOfficeRuns));
    Print(QStringLiteral("   %1 offices: %2 s; (%1 / %3) x one office = %4 s; ratio %5 (target "
                         "<= 1.30)")
              .arg(Offices)
              .arg(r.all.seconds, 0, 'f', 1)
              .arg(OfficeJobs)
              .arg(ideal, 0, 'f', 1)
              .arg(r.all.seconds / ideal, 0, 'f', 2));
    Print(QStringLiteral("   the korvex-reports process, peak (sampled every 20 ms): resident "
                         "MiB, open descriptors, threads"));
    for (const auto& [offices, run] : {std::pair{FewOffices, &r.few}, {Offices, &r.all}})
        Print(QStringLiteral("   %1 offices: %2 s, %3 MiB, %4 descriptors, %5 threads")
                  .arg(offices, 4)
                  .arg(run->seconds, 6, 'f', 1)
                  .arg(run->peakKib / 1024.0, 6, 'f', 1)
                  .arg(run->peakFiles, 4)
                  .arg(run->peakThreads, 4));
}

// Only the rollout to many offices; their databases are made on the first run and kept.
int OfficesOnly() {
    const Workspace workspace;
    Print(QStringLiteral("korvex_bench --offices, load average at start: %1").arg(LoadAverage()));
    PrintOffices(MeasureOffices(workspace));
    Print(QStringLiteral("load average at the end: %1").arg(LoadAverage()));
    return 0;
}

// Only the slow-link section, for quicker rounds while working on the network traffic.
int SlowLinkOnly() {
    const Workspace workspace;
    SlowLinkSection(workspace);
    return 0;
}

// On a private server of each engine installed here, the same sizes one engine after the other.
void LoopbackSection(const Workspace& workspace) {
    std::vector<SpeedResult> speeds;
    for (const char* version : {"3", "4"}) {
        if (!fbtest::ServerInstalled(version)) {
            Print(
                QStringLiteral("(Firebird %1 is not installed here: no rows for it)").arg(version));
            continue;
        }
        const fbtest::ServerInstance server(version);
        for (const Plan& plan : SpeedPlans) {
            std::fprintf(stderr, "replacement at %s on Firebird %s...\n",
                         qUtf8Printable(Mib(plan.size)), version);
            speeds.push_back(MeasureSpeed(plan, workspace, server.port()));
        }
    }
    PrintSpeed(speeds);
}

// Only the replacement on loopback, core and korvex-reports against the floor.
int LoopbackOnly() {
    const Workspace workspace;
    LoopbackSection(workspace);
    return 0;
}

int Benchmark() {
    const Clock::time_point start = Clock::now();
    Print(QStringLiteral("korvex_bench on the test server, load average at start: %1")
              .arg(LoadAverage()));
    const Workspace workspace;

    LoopbackSection(workspace);

    std::vector<PeakResult> peaks;
    const auto peakDatabase = ReportsDatabase({LargeRow, SmallRow}, "old");
    for (const qsizetype size : PeakSizes) {
        std::fprintf(stderr, "peak memory at %s...\n", qUtf8Printable(Mib(size)));
        peaks.push_back(MeasurePeak(size, *peakDatabase, workspace));
    }
    PrintPeaks(peaks);

    std::fprintf(stderr, "rollout to %d databases...\n", RolloutDatabases);
    PrintRollout(MeasureRollout(workspace));

    SlowLinkSection(workspace);

    std::fprintf(stderr, "rollout to many offices...\n");
    PrintOffices(MeasureOffices(workspace));

    Print(QStringLiteral("\nThe whole run, checks included, took %1 s; load average at the end: "
                         "%2.")
              .arg(SecondsSince(start), 0, 'f', 0)
              .arg(LoadAverage()));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // Hidden modes, for the peak memory of a process of their own.
    if (argc > 2 && std::strcmp(argv[1], "--peak-of") == 0)
        return bench::ReportPeakOf(argv + 2);
    try {
        if (argc > 1 && std::strcmp(argv[1], "--window") == 0)
            return WindowReplace(argc, argv);
        const QCoreApplication application(argc, argv);
        if (argc > 1 && std::strcmp(argv[1], "--slow-link") == 0)
            return SlowLinkOnly();
        if (argc > 1 && std::strcmp(argv[1], "--loopback") == 0)
            return LoopbackOnly();
        if (argc > 1 && std::strcmp(argv[1], "--offices") == 0)
            return OfficesOnly();
        return Benchmark();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvex_bench: %s\n", e.what());
        return 1;
    }
}
