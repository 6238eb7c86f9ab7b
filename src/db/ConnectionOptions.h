#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace db {

// What an attach asks for beyond the database's name. A part left unset is the client library's
// or the server's choice.
struct ConnectionOptions {
    std::optional<QString> user = std::nullopt;
    std::optional<QString> password = std::nullopt;
    std::optional<QString> role = std::nullopt;
    std::optional<int> sqlDialect = std::nullopt;
    // A connect the server has not answered in this many seconds fails.
    std::optional<int> connectTimeoutSeconds = std::nullopt;
    // Honoured where the server allows it too.
    std::optional<bool> wireCompression = std::nullopt;
    // The client's authentication plugins in the order it offers them (its AuthClient setting);
    // the client library's own list when empty.
    QStringList authPlugins = {};

    // Design-time settings as "name=value" lines: user_name, password, sql_dialect,
    // connect_timeout (seconds) and wire_compression (true or false), each at most once. A
    // refusal names the line's parameter, never its value: that may be a password.
    static ConnectionOptions FromLines(const QStringList& lines);
};

// The version-1 parameter block: the login, the dialect and the connect timeout, then the
// configuration (compression, plugins), always closed by the flag that its texts are UTF-8.
QByteArray ParameterBlock(const ConnectionOptions& options);

} // namespace db
