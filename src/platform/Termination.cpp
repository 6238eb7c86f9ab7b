#include "Termination.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t wakeFd = -1;

// Only async-signal-safe work here: one byte into the pipe wakes the event loop.
void OnSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &byte, 1);
    errno = savedErrno;
}

void SetDisposition(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : Signals)
        sigaction(signal, &action, nullptr);
}

sigset_t SignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : Signals)
        sigaddset(&set, signal);
    return set;
}

void SetMask(int how) {
    const sigset_t set = SignalSet();
    pthread_sigmask(how, &set, nullptr);
}

} // namespace

void HoldTerminationSignals() {
    SetMask(SIG_BLOCK);
}

int TakeTerminationSignal(int timeoutMs) {
    const sigset_t set = SignalSet();
    const timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    const int signal = ::sigtimedwait(&set, nullptr, &timeout);
    return signal > 0 ? signal : 0;
}

TerminationRequests::TerminationRequests(std::function<void()> onRequest)
    : onRequest_(std::move(onRequest)) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    wakeFd = writeEnd_.get();
    SetDisposition(OnSignal);
    SetMask(SIG_UNBLOCK);
}

TerminationRequests::~TerminationRequests() {
    SetDisposition(SIG_DFL);
    wakeFd = -1;
}

void TerminationRequests::drain() {
    char bytes[64];
    while (::read(readEnd_.get(), bytes, sizeof bytes) > 0) {
    }
    onRequest_();
}

} // namespace platform
