// Must not build: see CMakeLists.txt.
#include "core/Replacement.h"
