#pragma once

#include <QtGlobal>

namespace store {

// The server's HASH() of the bytes streaming past, computed here: a stored BLOB's length and
// HASH() come back in one round trip, so comparing them with a local file's needs no download.
// A 64-bit hash, not a digest: equal values identify a layout that is expected, never one that
// an adversary chose.
class ServerHash {
public:
    void write(const char* data, qint64 count);
    qint64 result() const { return hash_; }

private:
    qint64 hash_ = 0;
};

} // namespace store
