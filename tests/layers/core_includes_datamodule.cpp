// Must not build: see CMakeLists.txt.
#include "datamodule/Data.h"
