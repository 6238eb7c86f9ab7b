#include "SlowLink.h"

#include "platform/Files.h"
#include "support/FbScratch.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype ChunkSize = 64 * 1024;
// Reading from a side pauses while this much of its traffic waits, as a real link's window would.
constexpr qsizetype MaxQueued = 4 * 1024 * 1024;
// The longest poll, so that a stop or the time limit is seen soon.
constexpr auto MaxWait = std::chrono::milliseconds(20);

[[noreturn]] void failSystem(const char* what) {
    throw std::runtime_error(std::string("slow link: ") + what + ": " + std::strerror(errno));
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

void openTcpSocket(platform::FileDescriptor& fd) {
    fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        failSystem("socket");
}

// Small requests and answers are the traffic that counts; Nagle's wait would add to their delay.
void tuneForRelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void makeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        failSystem("fcntl");
}

struct Chunk {
    Clock::time_point due;
    QByteArray bytes;
    qsizetype sent = 0;
};

// One direction of one connection.
struct Flow {
    std::deque<Chunk> queue;
    qsizetype queued = 0;
    Clock::time_point lineFree{}; // when the paced line has sent what it holds
    bool sourceEnded = false;
    bool destinationShut = false;

    bool dueBy(Clock::time_point now) const { return !queue.empty() && queue.front().due <= now; }
    bool readable() const { return !sourceEnded && queued < MaxQueued; }
    bool done() const { return destinationShut; }
};

struct Connection {
    Connection(platform::FileDescriptor& accepted, platform::FileDescriptor& toServer)
        : client(accepted.release()), server(toServer.release()) {}

    platform::FileDescriptor client, server;
    Flow up, down;       // to the server, to the client
    bool lastUp = false; // so that the first request counts as a turn
    bool broken = false;
};

} // namespace

class SlowLink::Relay {
public:
    Relay(LinkShape shape, Counters& counters) : shape_(shape), counters_(counters) {
        openTcpSocket(listener_);
        const sockaddr_in any = loopback(0);
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) < 0 ||
            ::listen(listener_.get(), 64) < 0)
            failSystem("listen");
        makeNonBlocking(listener_.get());
    }

    int port() const {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &length) < 0)
            failSystem("getsockname");
        return ntohs(bound.sin_port);
    }

    // Until stopped or the deadline; every connection is dropped on return.
    void serve(Clock::time_point deadline, const std::atomic<bool>& stopping) {
        std::list<Connection> connections;
        while (!stopping && Clock::now() < deadline) {
            std::vector<pollfd> polled{{listener_.get(), POLLIN, 0}};
            const Clock::time_point now = Clock::now();
            for (const Connection& c : connections) {
                polled.push_back(watch(c.client.get(), c.up, c.down, now));
                polled.push_back(watch(c.server.get(), c.down, c.up, now));
            }
            wait(polled, nextDue(connections, now));
            if (polled[0].revents & POLLIN)
                accept(connections);
            std::size_t index = 1;
            for (Connection& c : connections) {
                if (index >= polled.size())
                    break; // accepted just now, not polled yet
                receive(c, polled[index++].revents, true);
                receive(c, polled[index++].revents, false);
            }
            for (Connection& c : connections) {
                flush(c.up, c.server.get(), c.broken);
                flush(c.down, c.client.get(), c.broken);
            }
            connections.remove_if(
                [](const Connection& c) { return c.broken || (c.up.done() && c.down.done()); });
        }
        listener_.reset(-1);
    }

private:
    // A side is read while its flow has room, and waited on for writing only when a due chunk
    // could not be written at once.
    static pollfd watch(int fd, const Flow& from, const Flow& to, Clock::time_point now) {
        const auto events =
            static_cast<short>((from.readable() ? POLLIN : 0) | (to.dueBy(now) ? POLLOUT : 0));
        return {events ? fd : -1, events, 0};
    }

    static Clock::time_point nextDue(const std::list<Connection>& connections,
                                     Clock::time_point now) {
        Clock::time_point next = now + MaxWait;
        for (const Connection& c : connections)
            for (const Flow* flow : {&c.up, &c.down})
                if (!flow->queue.empty())
                    next = std::min(next, flow->queue.front().due);
        return next;
    }

    static void wait(std::vector<pollfd>& polled, Clock::time_point until) {
        const auto left = std::max(until - Clock::now(), Clock::duration::zero());
        const auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{
            whole.count(),
            std::chrono::duration_cast<std::chrono::nanoseconds>(left - whole).count()};
        if (::ppoll(polled.data(), polled.size(), &timeout, nullptr) < 0 && errno != EINTR)
            failSystem("poll");
    }

    // A client whose server cannot be reached is dropped at once, as by a dead link.
    void accept(std::list<Connection>& connections) {
        platform::FileDescriptor client(
            ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!client)
            return;
        platform::FileDescriptor server;
        openTcpSocket(server);
        const sockaddr_in address = loopback(fbtest::ServerPort);
        if (::connect(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) <
            0)
            return;
        makeNonBlocking(server.get());
        tuneForRelay(client.get());
        tuneForRelay(server.get());
        connections.emplace_back(client, server);
        // A real link's handshake costs a round trip before the first request can go.
        connections.back().up.lineFree = Clock::now() + 2 * shape_.oneWayDelay;
    }

    void receive(Connection& c, short revents, bool fromClient) {
        Flow& flow = fromClient ? c.up : c.down;
        if (!(revents & (POLLIN | POLLHUP | POLLERR)) || !flow.readable())
            return;
        QByteArray bytes(ChunkSize, Qt::Uninitialized);
        const ssize_t got =
            ::read(fromClient ? c.client.get() : c.server.get(), bytes.data(), bytes.size());
        if (got < 0) {
            c.broken = errno != EAGAIN && errno != EINTR;
            return;
        }
        if (got == 0) {
            flow.sourceEnded = true;
            return;
        }
        bytes.truncate(got);
        count(c, fromClient, got);
        enqueue(flow, std::move(bytes));
    }

    void count(Connection& c, bool fromClient, ssize_t bytes) {
        (fromClient ? counters_.toServer : counters_.toClient) += bytes;
        if (c.lastUp != fromClient)
            ++counters_.turns;
        c.lastUp = fromClient;
    }

    // Store and forward: the chunk leaves once the paced line has sent it and the delay passed.
    void enqueue(Flow& flow, QByteArray&& bytes) {
        const Clock::time_point start = std::max(Clock::now(), flow.lineFree);
        const auto sending =
            shape_.bitsPerSecond > 0
                ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                      static_cast<double>(bytes.size()) * 8 / shape_.bitsPerSecond))
                : Clock::duration::zero();
        flow.lineFree = start + sending;
        flow.queued += bytes.size();
        flow.queue.push_back({flow.lineFree + shape_.oneWayDelay, std::move(bytes)});
    }

    // Writes what is due, without blocking; once the source has ended and all is written, the
    // destination learns of the end.
    static void flush(Flow& flow, int destination, bool& broken) {
        const Clock::time_point now = Clock::now();
        while (!broken && flow.dueBy(now)) {
            Chunk& chunk = flow.queue.front();
            const ssize_t wrote = ::send(destination, chunk.bytes.constData() + chunk.sent,
                                         chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
            if (wrote < 0) {
                broken = errno != EAGAIN && errno != EINTR;
                return;
            }
            chunk.sent += wrote;
            if (chunk.sent < chunk.bytes.size())
                return;
            flow.queued -= chunk.bytes.size();
            flow.queue.pop_front();
        }
        if (flow.sourceEnded && flow.queue.empty() && !flow.destinationShut) {
            ::shutdown(destination, SHUT_WR);
            flow.destinationShut = true;
        }
    }

    LinkShape shape_;
    Counters& counters_;
    platform::FileDescriptor listener_;
};

SlowLink::SlowLink(LinkShape shape, std::chrono::seconds timeLimit)
    : relay_(std::make_unique<Relay>(shape, counters_)), port_(relay_->port()) {
    const Clock::time_point deadline = Clock::now() + timeLimit;
    thread_ = std::thread([this, deadline] {
        try {
            relay_->serve(deadline, stopping_);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
        }
    });
}

SlowLink::~SlowLink() {
    stopping_ = true;
    thread_.join();
}

QString SlowLink::target(const std::string& path) const {
    return QString::fromStdString(fbtest::Target(path, port_));
}

LinkTraffic SlowLink::traffic() const {
    return {counters_.toServer, counters_.toClient, counters_.turns};
}

} // namespace bench
