#include "Version.h"

#include "version.h"

namespace platform {

QString Version() {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(KORVEX_VERSION_MAJOR)
        .arg(KORVEX_VERSION_MINOR)
        .arg(KORVEX_VERSION_PATCH)
        .arg(KORVEX_VERSION_TWEAK);
}

} // namespace platform
