#include "Connection.h"

#include "streaming/StreamingStore.h"

#include <chrono>

namespace cli {
namespace {

class StreamingConnection final : public Connection {
public:
    explicit StreamingConnection(const Target& target)
        : layouts_(target.database, target.login),
          timeoutSeconds_(target.login.connectTimeoutSeconds.value_or(0)) {}

    // The client library tells a connect it gave up on as one the server rejected. Its clock and
    // this one may differ by a little.
    void Connect() override {
        constexpr std::chrono::milliseconds Leeway(250);
        const auto began = std::chrono::steady_clock::now();
        try {
            layouts_.Connect();
        } catch (const std::exception&) {
            if (timeoutSeconds_ == 0 || std::chrono::steady_clock::now() - began <
                                            std::chrono::seconds(timeoutSeconds_) - Leeway)
                throw;
            throw std::runtime_error(QStringLiteral("the server did not answer within %1 s")
                                         .arg(timeoutSeconds_)
                                         .toStdString());
        }
    }

    QByteArray Identity() const override { return layouts_.ServerIdentity(); }
    store::LayoutStore& Layouts() override { return layouts_; }

private:
    streaming::StreamingStore layouts_;
    const int timeoutSeconds_;
};

} // namespace

std::unique_ptr<Connection> ClientLibraryConnection(const Target& target) {
    return std::make_unique<StreamingConnection>(target);
}

} // namespace cli
