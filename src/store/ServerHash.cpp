#include "ServerHash.h"

namespace store {

// Each byte goes in four bits up; the top four bits fold back in. The server folds a signed
// value, so its right shift copies the sign bit into the bits it brings down.
void ServerHash::write(const char* data, qint64 count) {
    constexpr quint64 TopBits = Q_UINT64_C(0xF000000000000000);
    quint64 hash = static_cast<quint64>(hash_);
    for (qint64 i = 0; i < count; ++i) {
        hash = (hash << 4) + static_cast<unsigned char>(data[i]);
        if (const quint64 top = hash & TopBits) {
            hash ^= static_cast<quint64>(static_cast<qint64>(top) >> 56);
            hash &= ~top;
        }
    }
    hash_ = static_cast<qint64>(hash);
}

} // namespace store
