#include "LayoutStore.h"

#include "store/ServerHash.h"

namespace store {

LayoutStore::~LayoutStore() = default;

std::optional<Fingerprint> LayoutStore::StoredFingerprint() {
    return std::nullopt;
}

std::optional<QString> LayoutStore::EngineVersion() const {
    return std::nullopt;
}

std::optional<bool> LayoutStore::WireCompressed() const {
    return std::nullopt;
}

std::optional<Fingerprint> LayoutStore::FingerprintOf(const QString& reportId) {
    FingerprintSink fingerprint;
    try {
        StreamLayout(reportId,
                     [&](const char* data, qint64 count) { fingerprint.write(data, count); });
    } catch (const NotFound&) {
        return std::nullopt;
    }
    return fingerprint.result();
}

} // namespace store
