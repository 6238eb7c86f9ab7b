// Must not build: see CMakeLists.txt.
#include <QWidget>
