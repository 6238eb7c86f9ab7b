#include "ServerHash.h"

namespace store {

// Each byte goes in four bits up; the top four bits fold back in. The server folds a signed
// value, so its right shift copies the sign bit into the bits it brings down, and it clears only
// the top bits that were set: the top four bits of its result may be set. The next byte shifts
// them out, so between bytes only the fold is done, without a branch, and they are cleared once.
void ServerHash::write(const char* data, qint64 count) {
    constexpr quint64 TopBits = Q_UINT64_C(0xF000000000000000);
    constexpr quint64 LowBits = Q_UINT64_C(0xF);
    quint64 hash = static_cast<quint64>(hash_);
    quint64 shifted = 0;
    for (qint64 i = 0; i < count; ++i) {
        shifted = (hash << 4) + static_cast<unsigned char>(data[i]);
        hash = shifted ^ (static_cast<quint64>(static_cast<qint64>(shifted) >> 56) & ~LowBits);
    }
    if (count > 0)
        hash &= ~(shifted & TopBits);
    hash_ = static_cast<qint64>(hash);
}

} // namespace store
