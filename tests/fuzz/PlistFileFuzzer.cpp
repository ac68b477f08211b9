// Reads arbitrary bytes as a property-list file (an Info.plist): the binary form checked before
// libplist parses it, or the XML form. Nothing may crash, leak or hang, and whatever reads must
// be a value of ours whose XML form reads back to a value of the same XML form (the form keeps
// whole seconds of a date, so the first form is compared, not the first value).
#include "platform/plist/PlistFile.h"
#include "platform/plist/PlistXml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = keldo::PlistFile::fromBytes(reinterpret_cast<const char*>(data), size);
    if (!value) return 0;
    auto xml = keldo::PlistXml::toXml(*value);
    if (!xml) return 0;  // e.g. a date beyond the XML writer's range
    auto again = keldo::PlistXml::fromXml(xml->data(), xml->size());
    if (!again) std::abort();
    auto xmlAgain = keldo::PlistXml::toXml(*again);
    if (!xmlAgain || xmlAgain->view() != xml->view()) std::abort();
    return 0;
}
