#pragma once

#include "store/LayoutStore.h"

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

// The length and HASH() of the bytes streaming past, as the database tells them of a layout.
class FingerprintSink {
public:
    void write(const char* data, qint64 count) {
        size_ += count;
        hash_.write(data, count);
    }
    Fingerprint result() const { return {size_, hash_.result()}; }

private:
    qint64 size_ = 0;
    ServerHash hash_;
};

} // namespace store
