// Must not build: see CMakeLists.txt.
#include "db/Database.h"
