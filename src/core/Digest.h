#pragma once

#include "store/Digest.h"

namespace core {

using store::ContentDigest;
using store::DigestSink;

} // namespace core
