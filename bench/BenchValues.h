#pragma once

#include "platform/plist/PlistValue.h"

#include <cstddef>

namespace keldo::bench {

// A listing-like dictionary whose XML form is about `bytes` long.
PlistValue listingOfAbout(std::size_t bytes);

} // namespace keldo::bench
