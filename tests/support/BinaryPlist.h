#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace keldo::testing {

// A reference to object `index`, `width` bytes wide, for a container's content.
inline std::string plistRef(std::uint64_t index, int width = 1) {
    std::string bytes;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) bytes += static_cast<char>(index >> shift);
    return bytes;
}

// A binary property list laid out by hand, for what no encoder writes: `objects` are each a marker
// and its content, the first is on top, references are `refWidth` bytes wide.
inline std::string binaryPlist(const std::vector<std::string>& objects, int refWidth = 1) {
    std::string out = "bplist00";
    std::vector<std::size_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::size_t table = out.size();
    for (auto offset : offsets) out += plistRef(offset, 4);
    out += std::string(6, '\0');
    out += '\x04';
    out += static_cast<char>(refWidth);
    out += plistRef(objects.size(), 8) + plistRef(0, 8) + plistRef(table, 8);
    return out;
}

} // namespace keldo::testing
