#include "LayoutStore.h"

namespace store {

LayoutStore::~LayoutStore() = default;

std::optional<Fingerprint> LayoutStore::StoredFingerprint() {
    return std::nullopt;
}

} // namespace store
