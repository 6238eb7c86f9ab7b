#pragma once

#include <QString>

namespace platform {

// The four-part file version of this build, "1.23.9.4": unpadded parts joined by ".".
QString Version();

} // namespace platform
