// Must not build: see CMakeLists.txt.
#include "datamodule/DataModuleStore.h"
