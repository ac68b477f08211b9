#include "platform/plist/PlistBinary.h"

#include "platform/Utf8.h"
#include "platform/plist/PlistXml.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace keldo {

namespace {

constexpr char kMagic[] = "bplist00";
constexpr std::size_t kMagicSize = 8;

// The fewest bytes (1, 2, 4 or 8) that hold `value`.
unsigned widthFor(std::uint64_t value) {
    if (value <= 0xFF) return 1;
    if (value <= 0xFFFF) return 2;
    if (value <= 0xFFFFFFFF) return 4;
    return 8;
}

void appendBigEndian(std::string& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

unsigned log2Of(unsigned width) { return static_cast<unsigned>(std::countr_zero(width)); }

class Writer {
public:
    std::optional<std::string> write(const PlistValue& value) {
        std::uint64_t count = 0;
        if (!countObjects(value, 1, count)) return std::nullopt;
        refWidth_ = widthFor(count - 1);
        offsets_.assign(count, 0);
        out_.assign(kMagic, kMagicSize);
        if (!writeObject(value)) return std::nullopt;
        const std::uint64_t tableAt = out_.size();
        const unsigned offsetWidth = widthFor(tableAt);
        for (std::uint64_t offset : offsets_) appendBigEndian(out_, offset, offsetWidth);
        out_.append(6, '\0');
        out_.push_back(static_cast<char>(offsetWidth));
        out_.push_back(static_cast<char>(refWidth_));
        appendBigEndian(out_, count, 8);
        appendBigEndian(out_, 0, 8);  // the top object is the first
        appendBigEndian(out_, tableAt, 8);
        return std::move(out_);
    }

private:
    // Objects in the value, keys of dictionaries included; false when it nests too deep.
    static bool countObjects(const PlistValue& value, int depth, std::uint64_t& count) {
        ++count;
        if (const auto* array = value.array()) {
            if (depth > PlistXml::kMaxDepth) return false;
            for (const auto& item : *array) {
                if (!countObjects(item, depth + 1, count)) return false;
            }
        } else if (const auto* dictionary = value.dictionary()) {
            if (depth > PlistXml::kMaxDepth) return false;
            for (const auto& [key, item] : *dictionary) {
                ++count;
                if (!countObjects(item, depth + 1, count)) return false;
            }
        }
        return true;
    }

    // A marker with a count: in its low half below 15, else in an integer object behind it.
    void appendMarker(unsigned kind, std::uint64_t count) {
        if (count < 15) {
            out_.push_back(static_cast<char>((kind << 4) | count));
            return;
        }
        out_.push_back(static_cast<char>((kind << 4) | 0x0F));
        const unsigned width = widthFor(count);
        out_.push_back(static_cast<char>(0x10 | log2Of(width)));
        appendBigEndian(out_, count, width);
    }

    void appendInteger(const PlistValue& value) {
        if (value.isUnsignedInteger() && *value.unsignedInteger() > static_cast<std::uint64_t>(INT64_MAX)) {
            out_.push_back('\x14');
            appendBigEndian(out_, 0, 8);
            appendBigEndian(out_, *value.unsignedInteger(), 8);
            return;
        }
        const std::int64_t number = *value.signedInteger();
        // Negative numbers take all 8 bytes: shorter integers are read as unsigned.
        const unsigned width = number < 0 ? 8 : widthFor(static_cast<std::uint64_t>(number));
        out_.push_back(static_cast<char>(0x10 | log2Of(width)));
        appendBigEndian(out_, static_cast<std::uint64_t>(number), width);
    }

    void appendReal(unsigned marker, double real) {
        out_.push_back(static_cast<char>(marker));
        appendBigEndian(out_, std::bit_cast<std::uint64_t>(real), 8);
    }

    bool appendText(std::string_view text) {
        if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            appendMarker(0x5, text.size());
            out_.append(text);
            return true;
        }
        std::vector<std::uint16_t> units;
        for (std::size_t i = 0; i < text.size();) {
            const Utf8::Sequence sequence = Utf8::decode(text, i);
            if (!sequence.valid()) return false;
            i += sequence.length;
            std::uint32_t point = sequence.codePoint;
            if (point >= 0x10000) {
                point -= 0x10000;
                units.push_back(static_cast<std::uint16_t>(0xD800 | (point >> 10)));
                units.push_back(static_cast<std::uint16_t>(0xDC00 | (point & 0x3FF)));
            } else {
                units.push_back(static_cast<std::uint16_t>(point));
            }
        }
        appendMarker(0x6, units.size());
        for (std::uint16_t unit : units) appendBigEndian(out_, unit, 2);
        return true;
    }

    // Writes the value's children first, then the value itself with references to them; the
    // value takes the next object number before its children do.
    bool writeObject(const PlistValue& value) {
        const std::uint64_t index = next_++;
        std::vector<std::uint64_t> refs;
        if (const auto* array = value.array()) {
            for (const auto& item : *array) {
                refs.push_back(next_);
                if (!writeObject(item)) return false;
            }
        } else if (const auto* dictionary = value.dictionary()) {
            std::vector<std::uint64_t> values;
            for (const auto& [key, item] : *dictionary) {
                refs.push_back(next_);
                if (!writeObject(PlistValue(key))) return false;
                values.push_back(next_);
                if (!writeObject(item)) return false;
            }
            refs.insert(refs.end(), values.begin(), values.end());
        }
        offsets_[index] = out_.size();
        switch (value.kind()) {
        case PlistValue::Kind::Boolean: out_.push_back(*value.boolean() ? '\x09' : '\x08'); break;
        case PlistValue::Kind::Integer: appendInteger(value); break;
        case PlistValue::Kind::Real: appendReal(0x23, *value.real()); break;
        case PlistValue::Kind::Date: appendReal(0x33, value.date()->secondsSince2001); break;
        case PlistValue::Kind::Data:
            appendMarker(0x4, value.data()->size());
            out_.append(value.data()->begin(), value.data()->end());
            break;
        case PlistValue::Kind::Text:
            if (!appendText(*value.text())) return false;
            break;
        case PlistValue::Kind::Array:
        case PlistValue::Kind::Dictionary:
            appendMarker(value.array() ? 0xA : 0xD, value.array() ? refs.size() : refs.size() / 2);
            for (std::uint64_t ref : refs) appendBigEndian(out_, ref, refWidth_);
            break;
        }
        return true;
    }

    std::string out_;
    std::vector<std::uint64_t> offsets_;
    std::uint64_t next_ = 0;
    unsigned refWidth_ = 1;
};

} // namespace

std::optional<std::string> PlistBinary::toBinary(const PlistValue& value) { return Writer().write(value); }

bool PlistBinary::isBinary(const char* data, std::size_t size) {
    return data && size >= kMagicSize && std::memcmp(data, kMagic, kMagicSize) == 0;
}

} // namespace keldo
