#pragma once

namespace platform {

// Makes the design-time data (the data module's settings, the report commands, the icon)
// reachable as resources; they live in a static library that nothing else would link in.
void LoadDesignResources();

} // namespace platform
