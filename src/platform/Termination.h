#pragma once

#include "Files.h"

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace platform {

// Holds SIGTERM, SIGINT and SIGHUP pending in this thread and in every thread it starts from now
// on. Called first thing, it keeps any of them from reaching another handler before a
// TerminationRequests exists, which then takes the ones held.
void HoldTerminationSignals();

// For a program without an event loop: waits up to timeoutMs for a held termination signal and
// takes it, returning its number, or 0 when none came. The signals stay held in every thread, so
// no handler runs for them, the client library's neither.
int TakeTerminationSignal(int timeoutMs);

// Turns SIGTERM, SIGINT and SIGHUP (a session logging out, Ctrl+C in a terminal) into a call on
// the event loop, so the program ends through its ordinary shutdown. The client library installs
// handlers of its own for these that tear it down from another thread while the program still
// uses it (they are installed at the first attach); creating this object replaces them and lets
// the held signals through in this thread. One at a time; the destructor restores the default
// dispositions.
class TerminationRequests : public QObject {
public:
    explicit TerminationRequests(std::function<void()> onRequest);
    ~TerminationRequests() override;

private:
    void drain();

    FileDescriptor readEnd_;
    FileDescriptor writeEnd_;
    QSocketNotifier* notifier_;
    std::function<void()> onRequest_;
};

} // namespace platform
