#pragma once

#include "platform/plist/PlistValue.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldo {

// Strict reading of Apple's XML property-list form, straight into our values: libxml2 checks the
// XML, and the elements are taken the way Python's plistlib takes them. What plistlib refuses
// gives none; what it reads comes out the same, unless our values can't hold it (no value at
// all, integers beyond 64 bits). Deliberately narrower, refusing some of what plistlib reads:
// the nesting bound, the limits of PlistScalarText, encodings other than UTF-8, UTF-16,
// ISO-8859-1 and US-ASCII under those names, and XML versions other than "1.0".
class PlistXmlReader {
public:
    // The value, or none. Arrays and dictionaries may nest `maxDepth` deep.
    [[nodiscard]] static PlistRef read(const char* data, std::size_t size, int maxDepth);

private:
    friend struct PlistXmlReaderEvents;  // the parser's callbacks

    explicit PlistXmlReader(int maxDepth);
    void startElement(std::string_view name);
    void endElement(std::string_view name);
    void characters(const char* text, std::size_t length) { text_.append(text, length); }
    void refuse() { failed_ = true; }
    PlistRef result();

    // Places a finished value under the pending key, at the end of the open array, or as the
    // root (a later root replaces an earlier one). Where it landed, or null when it has no place.
    PlistValue* add(PlistValue&& value);
    void addScalar(std::optional<PlistValue>&& value);
    // The collected text, leaving the buffer behind for reuse when copying it is cheaper.
    std::string takeText();

    int maxDepth_;
    bool failed_ = false;
    std::shared_ptr<PlistValue> root_;
    bool hasRoot_ = false;
    // The open arrays and dictionaries, innermost last. Each lives in its parent (or is the
    // root), which gains no element while it is open, so the pointers stay valid.
    std::vector<PlistValue*> open_;
    // A key waiting for its value. An empty one doesn't count as waiting where a dictionary
    // ends or another key begins, as with plistlib.
    std::optional<std::string> key_;
    // Character data since the last element began or the last value took it.
    std::string text_;
};

} // namespace keldo
