#pragma once

#include "Files.h"

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace platform {

// Turns SIGTERM, SIGINT and SIGHUP (a session logging out, Ctrl+C in a terminal) into a call on
// the event loop, so the program ends through its ordinary shutdown. The client library installs
// handlers of its own for these that tear it down from another thread while the program still
// uses it; creating this object replaces them. One at a time; the destructor restores the
// default dispositions.
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
