#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QtGlobal>

namespace store {

// What identifies a layout's bytes: their count and SHA-256.
struct ContentDigest {
    qint64 size = 0;
    QByteArray sha256; // lower-case hex

    friend bool operator==(const ContentDigest&, const ContentDigest&) = default;
};

// What the database tells of a stored layout without sending it: its length and its HASH(),
// which store::ServerHash computes from the bytes.
struct Fingerprint {
    qint64 size = 0;
    qint64 serverHash = 0;

    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Takes bytes as they stream past and sums them up. Without hashing only the size is counted:
// SHA-256 costs about a second per 128 MiB here.
class DigestSink {
public:
    explicit DigestSink(bool hashing = true) : hashing_(hashing) {}
    void write(const char* data, qint64 count) {
        if (hashing_)
            hash_.addData(QByteArrayView(data, static_cast<qsizetype>(count)));
        size_ += count;
    }
    ContentDigest result() const {
        return {size_, hashing_ ? hash_.result().toHex() : QByteArray()};
    }

private:
    const bool hashing_;
    QCryptographicHash hash_{QCryptographicHash::Sha256};
    qint64 size_ = 0;
};

} // namespace store
