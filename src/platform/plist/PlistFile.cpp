#include "platform/plist/PlistFile.h"

#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistXml.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace keldo {

namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocDeleter>;

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
// The library expands an object each time it is referred to, so shared references could make a
// small file into a huge tree (a few hundred bytes took a third of a second and a hundred
// megabytes). A file holds fewer values than it has bytes unless it shares objects, and sharing
// makes a few times more of a real one: the tree may hold kSharingFactor values for each byte,
// and never more values than the largest file has bytes.
constexpr std::uint64_t kSharingFactor = 16;
constexpr std::uint64_t kMostValues = PlistFile::kLargestFile;

// The binary form's layout, checked before the library parses it. The library recurses once per
// level without a limit (a deep file crashes it), expands shared objects without a limit, cuts an
// ASCII text at a NUL without telling, and takes what is no text in its encoding (bytes past
// ASCII, a UTF-16 surrogate without its other half) into texts that are no UTF-8: each of these
// is refused here, as Python's plistlib refuses them.
class BinaryLayout {
public:
    BinaryLayout(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    bool isSound() {
        if (size_ < kHeaderSize + kTrailerSize) return false;
        const unsigned char* trailer = bytes_ + size_ - kTrailerSize;
        const unsigned offsetWidth = trailer[6];
        refWidth_ = trailer[7];
        const std::uint64_t count = bigEndian(trailer + 8, 8);
        const std::uint64_t top = bigEndian(trailer + 16, 8);
        const std::uint64_t tableAt = bigEndian(trailer + 24, 8);
        if (!isWidth(offsetWidth) || !isWidth(refWidth_)) return false;
        objectsEnd_ = size_ - kTrailerSize;
        if (count == 0 || top >= count || tableAt < kHeaderSize || tableAt > objectsEnd_) return false;
        if (count > (objectsEnd_ - tableAt) / offsetWidth) return false;
        objectsEnd_ = tableAt;

        objects_.resize(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t at = bigEndian(bytes_ + tableAt + i * offsetWidth, offsetWidth);
            if (at < kHeaderSize || at >= objectsEnd_ || !readObject(static_cast<std::size_t>(at), objects_[i]))
                return false;
        }
        return treeIsBounded(top);
    }

private:
    struct Object {
        std::size_t refsAt = 0;   // where a container's references start
        std::uint64_t refs = 0;   // how many it has (a dictionary's keys and values)
    };

    static bool isWidth(unsigned width) { return width == 1 || width == 2 || width == 4 || width == 8; }

    // Big-endian units without a NUL, each surrogate in a pair of a high and a low one.
    static bool isUtf16Text(const unsigned char* units, std::uint64_t count) {
        for (std::uint64_t i = 0; i < count; ++i) {
            const unsigned unit = (units[2 * i] << 8) | units[2 * i + 1];
            if (unit == 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                if (++i == count) return false;
                const unsigned low = (units[2 * i] << 8) | units[2 * i + 1];
                if (low < 0xDC00 || low > 0xDFFF) return false;
            }
        }
        return true;
    }

    static std::uint64_t bigEndian(const unsigned char* at, unsigned width) {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) value = (value << 8) | at[i];
        return value;
    }

    // The count in a marker's low half, or in the integer object after it when that half is 0xF.
    bool readCount(std::size_t at, std::uint64_t& count, std::size_t& contentAt) const {
        const unsigned low = bytes_[at] & 0x0F;
        if (low != 0x0F) {
            count = low;
            contentAt = at + 1;
            return true;
        }
        if (at + 1 >= objectsEnd_ || (bytes_[at + 1] >> 4) != 0x1) return false;
        const unsigned width = 1u << (bytes_[at + 1] & 0x0F);
        if (width > 8 || width > objectsEnd_ - (at + 2)) return false;
        count = bigEndian(bytes_ + at + 2, width);
        contentAt = at + 2 + width;
        return true;
    }

    bool readObject(std::size_t at, Object& object) const {
        const unsigned kind = bytes_[at] >> 4;
        if (kind != 0x5 && kind != 0x6 && kind != 0xA && kind != 0xC && kind != 0xD) return true;
        std::uint64_t count = 0;
        std::size_t contentAt = 0;
        if (!readCount(at, count, contentAt) || contentAt > objectsEnd_) return false;
        const std::size_t room = objectsEnd_ - contentAt;
        switch (kind) {
        case 0x5:  // ASCII text
            if (count > room) return false;
            return std::none_of(bytes_ + contentAt, bytes_ + contentAt + count,
                                [](unsigned char b) { return b == 0 || b >= 0x80; });
        case 0x6:  // UTF-16 text
            return count <= room / 2 && isUtf16Text(bytes_ + contentAt, count);
        default:  // array, set, dictionary
            if (kind == 0xD && count > std::numeric_limits<std::uint64_t>::max() / 2) return false;
            object.refs = kind == 0xD ? 2 * count : count;
            object.refsAt = contentAt;
            return object.refs <= room / refWidth_;
        }
    }

    std::uint64_t childOf(const Object& object, std::uint64_t i) const {
        return bigEndian(bytes_ + object.refsAt + i * refWidth_, refWidth_);
    }

    // Walks the tree from the top object without recursion: no cycle, no path through more than
    // PlistXml::kMaxDepth containers, and no more values once expanded than the file may hold.
    bool treeIsBounded(std::uint64_t top) {
        enum class Mark : unsigned char { unseen, open, done };
        const std::size_t limit = static_cast<std::size_t>(PlistXml::kMaxDepth);
        const std::uint64_t mostValues = std::min<std::uint64_t>(kMostValues, kSharingFactor * size_);
        std::vector<Mark> marks(objects_.size(), Mark::unseen);
        std::vector<std::uint64_t> values(objects_.size(), 1);  // values in the expanded subtree
        std::vector<std::size_t> heights(objects_.size(), 0);   // containers on its longest path down
        auto adopt = [&](std::uint64_t parent, std::uint64_t child) {
            values[parent] += values[child];
            heights[parent] = std::max(heights[parent], heights[child] + 1);
            return values[parent] <= mostValues;
        };
        struct Step {
            std::uint64_t object;
            std::uint64_t next;
        };
        std::vector<Step> path{{top, 0}};  // containers only, but for a leaf at the top
        marks[top] = Mark::open;
        while (!path.empty()) {
            const std::uint64_t current = path.back().object;
            const Object& object = objects_[current];
            if (path.back().next == object.refs) {
                path.pop_back();
                marks[current] = Mark::done;
                if (!path.empty() && !adopt(path.back().object, current)) return false;
                continue;
            }
            const std::uint64_t child = childOf(object, path.back().next++);
            if (child >= objects_.size() || marks[child] == Mark::open) return false;
            if (marks[child] == Mark::done) {
                if (path.size() + heights[child] > limit || !adopt(current, child)) return false;
            } else if (objects_[child].refs == 0) {
                marks[child] = Mark::done;
                if (!adopt(current, child)) return false;
            } else {
                if (path.size() + 1 > limit) return false;
                marks[child] = Mark::open;
                path.push_back({child, 0});
            }
        }
        return true;
    }

    const unsigned char* bytes_;
    std::size_t size_;
    std::size_t objectsEnd_ = 0;
    unsigned refWidth_ = 0;
    std::vector<Object> objects_;
};

// libplist keeps every integer as 64 bits plus a width; only the written form tells an unsigned
// value of 2^63 or more from a negative one.
bool isWideUnsigned(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    MallocText owned(xml);
    return owned && std::string_view(owned.get(), length).find("<integer>-") == std::string_view::npos;
}

std::optional<PlistValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PlistValue(b != 0);
    }
    case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) && isWideUnsigned(node))
            return PlistValue(u);
        return PlistValue(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return PlistValue(d);
    }
    case PLIST_STRING: {
        // By pointer and length: the copying getter aborts on a text that holds a NUL.
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!text) return PlistValue(std::string());
        if (::strnlen(text, length) != length) return std::nullopt;
        return PlistValue(std::string(text, length));
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
        return PlistValue(bytes ? PlistValue::Data(bytes, bytes + length) : PlistValue::Data{});
    }
    case PLIST_DATE: {
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return PlistValue(PlistDate{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
    }
    case PLIST_ARRAY: {
        PlistValue::Array items;
        const std::uint32_t n = plist_array_get_size(node);
        items.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            auto item = fromNode(plist_array_get_item(node, i));
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
        }
        return PlistValue(std::move(items));
    }
    case PLIST_DICT: {
        PlistValue::Dictionary entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        MallocText ownedIter(static_cast<char*>(it));
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            MallocText ownedKey(key);
            if (!item) break;
            auto converted = fromNode(item);
            if (!converted || !ownedKey) return std::nullopt;
            entries.insert_or_assign(std::string(ownedKey.get()), std::move(*converted));
        }
        return PlistValue(std::move(entries));
    }
    default:
        // UIDs and anything else are no value of ours.
        return std::nullopt;
    }
}

PlistRef fromBinary(const char* data, std::size_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    if (!BinaryLayout(reinterpret_cast<const unsigned char*>(data), size).isSound()) return nullptr;
    plist_t raw = nullptr;
    plist_from_bin(data, static_cast<std::uint32_t>(size), &raw);
    Node root(raw);
    if (!root) return nullptr;
    auto value = fromNode(root.get());
    return value ? PlistValue::make(std::move(*value)) : nullptr;
}

} // namespace

PlistRef PlistFile::fromBytes(const char* data, std::size_t size) {
    if (!data) return nullptr;
    if (PlistBinary::isBinary(data, size)) return fromBinary(data, size);
    return PlistXml::fromXml(data, size);
}

PlistRef PlistFile::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    std::string bytes;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > kLargestFile) return nullptr;
    }
    if (in.bad()) return nullptr;
    return fromBytes(bytes.data(), bytes.size());
}

} // namespace keldo
