#pragma once

#include "Invocation.h"
#include "store/LayoutStore.h"

#include <QByteArray>
#include <functional>
#include <memory>

namespace cli {

// One database as a rollout reaches it: its layouts, once connected.
class Connection {
public:
    virtual ~Connection() = default;
    // Throws when the database cannot be reached.
    virtual void Connect() = 0;
    // Once connected: what tells this database from any other, whatever it was called; empty
    // when nothing does.
    virtual QByteArray Identity() const = 0;
    virtual store::LayoutStore& Layouts() = 0;
};

// Makes the connection to a target, not yet connected.
using Connector = std::function<std::unique_ptr<Connection>(const Target& target)>;

// Through the client library, the layouts streamed; connected within the login's timeout.
std::unique_ptr<Connection> ClientLibraryConnection(const Target& target);

} // namespace cli
