#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QtGlobal>

namespace core {

// What identifies a layout's bytes: their count and SHA-256.
struct ContentDigest {
    qint64 size = 0;
    QByteArray sha256; // lower-case hex

    friend bool operator==(const ContentDigest&, const ContentDigest&) = default;
};

// Takes bytes as they stream past and sums them up.
class DigestSink {
public:
    void write(const char* data, qint64 count) {
        hash_.addData(QByteArrayView(data, static_cast<qsizetype>(count)));
        size_ += count;
    }
    ContentDigest result() const { return {size_, hash_.result().toHex()}; }

private:
    QCryptographicHash hash_{QCryptographicHash::Sha256};
    qint64 size_ = 0;
};

} // namespace core
