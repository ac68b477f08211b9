#include "BenchValues.h"

#include "platform/plist/PlistXml.h"

#include <string>

namespace keldo::bench {

PlistValue listingOfAbout(std::size_t bytes) {
    PlistValue::Array files;
    for (int i = 0;; ++i) {
        files.push_back(PlistValue(PlistValue::Dictionary{
            {"Name", "Track " + std::to_string(i) + " <live> & more.m4a"},
            {"Size", std::int64_t{1000003} * i},
            {"Modified", PlistDate{400000000.0 + i}},
            {"Protected", i % 2 == 0},
            {"Rating", 0.5 * (i % 10)},
            {"Hash", PlistValue::Data(16, static_cast<std::uint8_t>(i))},
        }));
        if (i % 256 == 255) {
            PlistValue value(PlistValue::Dictionary{{"Files", files}});
            if (PlistXml::toXml(value)->size() >= bytes) return value;
        }
    }
}

} // namespace keldo::bench
