#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace db {

// A failure of the database layer. what() is the text the user sees, in UTF-8.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure reported by the client library: the interpreted status vector plus its codes.
class ServerError : public Error {
public:
    ServerError(const std::string& text, long sqlCode, std::vector<long> gdsCodes)
        : Error(text), sqlCode_(sqlCode), gdsCodes_(std::move(gdsCodes)) {}

    long sqlCode() const { return sqlCode_; }
    // Every error code of the status vector, in order.
    const std::vector<long>& gdsCodes() const { return gdsCodes_; }
    bool hasCode(long code) const;

private:
    long sqlCode_;
    std::vector<long> gdsCodes_;
};

} // namespace db
