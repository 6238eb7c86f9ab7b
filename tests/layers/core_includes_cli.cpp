// Must not build: see CMakeLists.txt.
#include "cli/Command.h"
