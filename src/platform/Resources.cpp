#include "Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function in the global namespace.
static void LoadResources() {
    Q_INIT_RESOURCE(resources);
}

namespace platform {

void LoadDesignResources() {
    LoadResources();
}

} // namespace platform
