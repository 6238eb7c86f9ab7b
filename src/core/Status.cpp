#include "Status.h"

#include "platform/Files.h"
#include "store/ServerHash.h"

namespace core {

store::Fingerprint FileFingerprint(const QString& path) {
    platform::InputFile file(path);
    store::FingerprintSink fingerprint;
    platform::CopyAll(file, fingerprint);
    return fingerprint.result();
}

LayoutStatus StatusOf(store::LayoutStore& store, const QString& reportId,
                      const std::optional<store::Fingerprint>& file) {
    using State = LayoutStatus::State;
    const std::optional<store::Fingerprint> stored = store.FingerprintOf(reportId);
    if (!stored)
        return {State::NoRow, {}};
    if (!file)
        return {State::Stored, *stored};
    return {*stored == *file ? State::Same : State::Other, *stored};
}

} // namespace core
