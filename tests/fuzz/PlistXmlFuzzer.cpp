// Parses arbitrary bytes as an XML property list; whatever parses must have an XML form that
// parses back to the same value.
#include "platform/plist/PlistXml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = keldo::PlistXml::fromXml(reinterpret_cast<const char*>(data), size);
    if (!value) return 0;
    auto xml = keldo::PlistXml::toXml(*value);
    if (!xml) return 0;  // e.g. a text holding NUL, or a date beyond the library's range
    auto again = keldo::PlistXml::fromXml(xml->data(), xml->size());
    if (!again) std::abort();
    return 0;
}
