#pragma once

// What the fuzz targets share. A broken property aborts, which libFuzzer keeps as a crashing input
// and the replay of the corpus reports as a failed test.

#include <QByteArrayView>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline void Require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "Broken property: %s\n", property);
        std::abort();
    }
}

inline QByteArrayView Bytes(const uint8_t* data, size_t size) {
    return QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// Texts reach the parsers as QString; invalid UTF-8 becomes replacement characters.
inline QString Text(const uint8_t* data, size_t size) {
    return QString::fromUtf8(Bytes(data, size));
}
