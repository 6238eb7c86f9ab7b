#include "LayoutStore.h"

namespace store {

LayoutStore::~LayoutStore() = default;

} // namespace store
