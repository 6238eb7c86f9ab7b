#pragma once

#include <ibase.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace db {

class Client;

// A failure of the database layer. what() is the text the user sees, in UTF-8.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An update that changed another number of rows than the one it was meant for.
class RowCountError : public Error {
public:
    RowCountError(const std::string& text, long rows) : Error(text), rows_(rows) {}
    long rows() const { return rows_; }

private:
    long rows_;
};

// Raises a RowCountError unless an update of the table changed exactly one row: with a key that
// is not unique, every row sharing it would get the one row's new content.
void CheckOneRowChanged(long changed, const std::string& table);

// A failure reported by the client library: the interpreted status vector plus its codes.
class ServerError : public Error {
public:
    ServerError(const std::string& text, long sqlCode, std::vector<long> gdsCodes)
        : Error(text), sqlCode_(sqlCode), gdsCodes_(std::move(gdsCodes)) {}

    long sqlCode() const { return sqlCode_; }
    // Every error code of the status vector, in order.
    const std::vector<long>& gdsCodes() const { return gdsCodes_; }
    bool hasCode(long code) const;

    // The client library's text for a failed call's status vector: its message lines joined with
    // CR LF, one trailing "." removed, nothing added.
    static ServerError FromStatus(const Client& client, const ISC_STATUS* status);

private:
    long sqlCode_;
    std::vector<long> gdsCodes_;
};

// A commit whose request may have reached the server before the connection was lost or dropped:
// whether it took effect is unknown on this side. Carries the lost connection's error.
class CommitInDoubt : public ServerError {
public:
    explicit CommitInDoubt(ServerError lost) : ServerError(std::move(lost)) {}
};

} // namespace db
