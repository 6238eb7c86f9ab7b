#pragma once

// Running the tool's executables from the benchmark, and their peak resident size.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace bench {

struct ChildRun {
    double seconds = 0;
    QByteArray output; // standard output and error, merged
};

// Runs the program to its end; throws with its output unless it exits with 0.
ChildRun RunToEnd(const QString& program, const QStringList& arguments);

// The hidden mode behind PeakOf: runs argv[0] with argv as a child of this process and prints
// "peak-kib <KiB>" after the child's output, its peak resident size. Returns the child's status.
int ReportPeakOf(char* argv[]);

// What a run looked like from outside while it went on, sampled every few milliseconds.
struct WatchedRun {
    double seconds = 0;
    QByteArray output; // standard output and error, merged
    long peakKib = 0;  // resident (VmHWM)
    int peakFiles = 0; // open descriptors
    int peakThreads = 0;
};

// Runs the program to its end, watching its resident size, descriptors and threads in /proc;
// throws with its output unless it exits with 0.
WatchedRun Watched(const QString& program, const QStringList& arguments);

// Runs the program through `self --peak-of`, so that the peak is the program's own: a child
// exec'd straight from a large process inherits that process's resident size as its own peak.
// The output ends with "peak-kib <KiB>".
ChildRun PeakOf(const QString& self, const QString& program, const QStringList& arguments);

// The number after "<key> " on a line of a child's output.
long KibFrom(const QByteArray& output, const char* key);

// This process's peak resident size so far (VmHWM), in KiB.
long OwnPeakKib();

} // namespace bench
