#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>

struct evp_md_ctx_st;

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

// Takes bytes as they stream past and sums them up. Without hashing only the size is counted.
// The hashing is the system's cryptographic library's, which uses the processor's SHA
// instructions where it has them: ten times as fast as Qt's own here, where a layout's bytes are
// summed up twice on every replacement.
class DigestSink {
public:
    explicit DigestSink(bool hashing = true);
    ~DigestSink();
    DigestSink(const DigestSink&) = delete;
    DigestSink& operator=(const DigestSink&) = delete;

    void write(const char* data, qint64 count);
    ContentDigest result() const;

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_; // null without hashing
    qint64 size_ = 0;
};

} // namespace store
