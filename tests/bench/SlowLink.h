#pragma once

// A slow network link emulated on loopback: a TCP proxy in front of the test server that holds
// every chunk it reads for a fixed delay before passing it on, in order and both ways, and can pace
// its writes to a bandwidth. The kernel here cannot delay traffic itself (no netem).
//
//   bench::SlowLink link({std::chrono::milliseconds(25), 4'000'000});
//   const QString target = link.target("/tmp/some.fdb");   // "127.0.0.1/<port>:/tmp/some.fdb"
//   const bench::LinkTraffic before = link.traffic();
//   ... work through target ...
//   const bench::LinkTraffic spent = link.traffic() - before;
//
// It serves on its own thread and stops by itself once its time limit has passed, dropping every
// connection; destruction stops it earlier.

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace bench {

struct LinkShape {
    std::chrono::microseconds oneWayDelay;
    std::int64_t bitsPerSecond = 0; // 0: as fast as loopback
};

// What passed the link: bytes each way, and changes of the direction of traffic within each
// connection (its first request counts as one), two per round trip.
struct LinkTraffic {
    std::int64_t toServer = 0;
    std::int64_t toClient = 0;
    std::int64_t turns = 0;

    double roundTrips() const { return static_cast<double>(turns) / 2; }
    LinkTraffic operator-(const LinkTraffic& earlier) const {
        return {toServer - earlier.toServer, toClient - earlier.toClient, turns - earlier.turns};
    }
};

class SlowLink {
public:
    explicit SlowLink(LinkShape shape, std::chrono::seconds timeLimit = std::chrono::seconds(900));
    ~SlowLink();
    SlowLink(const SlowLink&) = delete;
    SlowLink& operator=(const SlowLink&) = delete;

    int port() const { return port_; }
    // The connection target for a database file on the test server, through this link.
    QString target(const std::string& path) const;
    // Counted so far; a connection's traffic is all counted once its client has had its answers.
    LinkTraffic traffic() const;

    struct Counters {
        std::atomic<std::int64_t> toServer{0}, toClient{0}, turns{0};
    };

private:
    class Relay;

    Counters counters_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Relay> relay_;
    int port_ = 0;
    std::thread thread_;
};

} // namespace bench
