#pragma once

#include "platform/plist/PlistValue.h"

#include <cstddef>
#include <string>

namespace keldo {

// Property lists kept in files, such as an application bundle's Info.plist: the XML form or the
// binary one ("bplist00"). A file decides what the agent starts, so it is read as strictly as a
// device's reply: a text or key holding a NUL or what is no text in its encoding, nesting deeper
// than PlistXml::kMaxDepth, objects that refer to themselves or lie outside the file give no value.
class PlistFile {
public:
    // The value the file at `path` holds, or none when it is missing, larger than kLargestFile, or
    // holds no property list of our kinds.
    [[nodiscard]] static PlistRef read(const std::string& path);
    // The same for bytes already in memory.
    [[nodiscard]] static PlistRef fromBytes(const char* data, std::size_t size);

    static constexpr std::size_t kLargestFile = 1 << 20;
};

} // namespace keldo
