// AFCDirectoryAccess: path operations and listings.
#include "afc/AFCDirectoryAccess.h"

#include "platform/Utf8.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace keldo {

namespace {

// The status of opening something other than a directory as one.
constexpr std::int32_t kNotADirectory = 4;
// The status of a path that names nothing, a symbolic link that leads nowhere included.
constexpr std::int32_t kNotFound = 8;

// Closes a directory handle on every path.
class DirectoryHandle {
public:
    DirectoryHandle(afc_connection afc, afc_directory directory) : afc_(afc), directory_(directory) {}
    ~DirectoryHandle() { close(); }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;
    afc_directory get() const { return directory_; }
    void close() {
        if (directory_) (void)AFCDirectoryClose(afc_, directory_);
        directory_ = nullptr;
    }

private:
    afc_connection afc_;
    afc_directory directory_;
};

// The next UTF-16 code unit of a UTF-8 text at `i`, advancing `i` past what it consumed. A byte
// that begins no valid sequence stands for itself as 0xDC00 + byte (as Python's surrogateescape
// keeps it), so texts that are not valid UTF-8 still sort in a fixed, total order.
struct Utf16Reader {
    const std::string& text;
    std::size_t i;
    std::uint32_t pendingLow = 0;

    bool atEnd() const { return pendingLow == 0 && i >= text.size(); }

    std::uint32_t next() {
        if (pendingLow) {
            std::uint32_t unit = pendingLow;
            pendingLow = 0;
            return unit;
        }
        const Utf8::Sequence s = Utf8::decode(text, i);
        if (!s.valid()) {
            ++i;
            return 0xDC00 + s.codePoint;
        }
        i += s.length;
        if (s.codePoint < 0x10000) return s.codePoint;
        const std::uint32_t offset = s.codePoint - 0x10000;
        pendingLow = 0xDC00 + (offset & 0x3FF);
        return 0xD800 + (offset >> 10);
    }
};

// Plain, case-sensitive, non-localised order of UTF-16 code units: the order of the platform's
// literal text comparison. It differs from byte order only where a character beyond U+FFFF meets
// one between U+E000 and U+FFFF, so bytes decide wherever the texts part at an ASCII byte (or an
// end) right after an ASCII byte (or the start); only the rest is decoded.
bool codeUnitLess(const std::string& a, const std::string& b) {
    auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    // Sibling paths share long prefixes: skip them eight bytes at a time.
    std::size_t common = 0;
    std::size_t shorter = std::min(a.size(), b.size());
    while (common + 8 <= shorter) {
        std::uint64_t wa;
        std::uint64_t wb;
        std::memcpy(&wa, a.data() + common, 8);
        std::memcpy(&wb, b.data() + common, 8);
        if (wa != wb) break;
        common += 8;
    }
    auto [pa, pb] = std::mismatch(a.begin() + static_cast<std::ptrdiff_t>(common), a.end(),
                                  b.begin() + static_cast<std::ptrdiff_t>(common), b.end());
    if (pa == a.end() && pb == b.end()) return false;
    bool aligned = pa == a.begin() || ascii(*(pa - 1));
    if (aligned && (pa == a.end() || pb == b.end() || ascii(*pa) || ascii(*pb))) {
        if (pa == a.end() || pb == b.end()) return pa == a.end();
        return static_cast<unsigned char>(*pa) < static_cast<unsigned char>(*pb);
    }
    // Decoding restarts after the last ASCII byte of the common prefix: a sequence can't span it,
    // so both texts decode to the same units up to there.
    std::size_t start = static_cast<std::size_t>(pa - a.begin());
    while (start > 0 && static_cast<unsigned char>(a[start - 1]) >= 0x80) --start;
    Utf16Reader ra{a, start};
    Utf16Reader rb{b, start};
    while (!ra.atEnd() && !rb.atEnd()) {
        std::uint32_t ua = ra.next();
        std::uint32_t ub = rb.next();
        if (ua != ub) return ua < ub;
    }
    return ra.atEnd() && !rb.atEnd();
}

// A date's seconds since 1970 as the platform's unsigned count of nanoseconds: the product in
// double precision, truncated toward zero; the full unsigned range is used and a date before 1970
// gives the two's-complement bits of its negative count.
std::uint64_t nanosecondsSince1970(double seconds) {
    constexpr double k2To63 = 9223372036854775808.0;
    constexpr double k2To64 = 18446744073709551616.0;
    double product = seconds * 1'000'000'000.0;
    if (product >= 0) {
        if (product < k2To63) return static_cast<std::uint64_t>(product);
        if (product < k2To64) return static_cast<std::uint64_t>(product - k2To63) | (1ull << 63);
        return 0;
    }
    if (product > -k2To63) return static_cast<std::uint64_t>(static_cast<std::int64_t>(product));
    if (product <= -k2To63) return 1ull << 63;
    return 0;  // not a number
}

} // namespace

AFCDirectoryAccess::Names AFCDirectoryAccess::readNames(afc_directory directory) {
    Names names;
    for (;;) {
        char* name = nullptr;
        (void)AFCDirectoryRead(*_afc, directory, &name);
        if (!name) break;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        names.emplace_back(name);
    }
    return names;
}

std::optional<AFCDirectoryAccess::Names> AFCDirectoryAccess::directoryContents(const Path& path) {
    if (!given(path, "Input path is nil")) return std::nullopt;
    if (!ensureConnectionIsOpen()) return std::nullopt;
    afc_directory opened = nullptr;
    if (!checkStatusFrom(AFCDirectoryOpen(*_afc, path->c_str(), &opened), "AFCDirectoryOpen")) return std::nullopt;
    DirectoryHandle directory(*_afc, opened);
    Names names = readNames(directory.get());
    directory.close();
    clearLastError();
    return names;
}

std::optional<AFCDirectoryAccess::Names> AFCDirectoryAccess::recursiveDirectoryContents(const Path& path) {
    if (!given(path, "Input path is nil")) return std::nullopt;
    if (!ensureConnectionIsOpen()) return std::nullopt;
    // Depth first, a directory before its content, each directory read to its end and closed
    // before its children are visited. The walk keeps its own stack of paths still to visit, so
    // no tree can overflow the call stack; and it stops at kMaxTreeDepth levels, since AFC gives
    // no identity by which a link back to an enclosing directory could be told apart from a
    // deep tree without a further query per entry.
    struct Pending {
        std::string path;
        int depth;
    };
    std::vector<Pending> pending{{*path, 0}};
    Names list;
    while (!pending.empty()) {
        Pending next = std::move(pending.back());
        pending.pop_back();
        afc_directory opened = nullptr;
        std::int32_t status = AFCDirectoryOpen(*_afc, next.path.c_str(), &opened);
        // An entry that its directory has just listed is there, whatever its open answers: one
        // that can't be found is a link that leads nowhere, or a name removed meanwhile, and a
        // leaf like a file. Only the start path must exist.
        if (status == kNotADirectory || (status == kNotFound && next.depth > 0)) {
            list.push_back(std::move(next.path));
            continue;
        }
        if (status != 0) {
            (void)checkStatusFrom(status, "AFCDirectoryOpen");
            return std::nullopt;
        }
        DirectoryHandle directory(*_afc, opened);
        Names names = readNames(directory.get());
        directory.close();
        if (!names.empty() && next.depth >= kMaxTreeDepth) {
            setLastError(fmt::format("Directory tree deeper than {} levels at {}", kMaxTreeDepth, next.path));
            return std::nullopt;
        }
        next.path += '/';
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            std::string child;
            child.reserve(next.path.size() + name->size());
            child.append(next.path).append(*name);
            pending.push_back({std::move(child), next.depth + 1});
        }
        list.push_back(std::move(next.path));
    }
    std::sort(list.begin(), list.end(), codeUnitLess);
    return list;
}

bool AFCDirectoryAccess::mkdir(const Path& path) {
    if (!given(path, "Input path is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    return checkStatusFrom(AFCDirectoryCreate(*_afc, path->c_str()), "AFCDirectoryCreate");
}

bool AFCDirectoryAccess::unlink(const Path& path) {
    if (!given(path, "Input path is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    return checkStatusFrom(AFCRemovePath(*_afc, path->c_str()), "AFCRemovePath");
}

bool AFCDirectoryAccess::renameTo(const Path& oldPath, const Path& newPath) {
    if (!given(oldPath, "Old path is nil")) return false;
    if (!given(newPath, "New path is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    return checkStatusFrom(AFCRenamePath(*_afc, oldPath->c_str(), newPath->c_str()), "AFCRenamePath");
}

bool AFCDirectoryAccess::linkTo(const Path& path, const Path& target) { return makeLink(path, target, 1); }

bool AFCDirectoryAccess::symlinkTo(const Path& path, const Path& target) { return makeLink(path, target, 2); }

bool AFCDirectoryAccess::makeLink(const Path& path, const Path& target, std::int64_t type) {
    if (!given(path, "Path is nil")) return false;
    if (!given(target, "Target is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    // The platform takes the target first and the new link's path second.
    return checkStatusFrom(AFCLinkPath(*_afc, type, target->c_str(), path->c_str()), "AFCLinkPath");
}

bool AFCDirectoryAccess::processOpFrom(PlatformObjectRef operation, const char*) {
    auto timeout = static_cast<double>(AFCConnectionGetIOTimeout(*_afc));
    bool done = checkStatusFrom(AFCConnectionProcessOperation(*_afc, operation, timeout),
                                "AFCConnectionProcessOperation");
    if (done) {
        auto result = static_cast<std::uint32_t>(AFCOperationGetResultStatus(operation));
        if (result == 0) {
            clearLastError();
        } else {
            done = false;
            PlistRef info = AFCConnectionCopyLastErrorInfo(*_afc);
            const PlistValue* description = info ? info->find("NSLocalizedDescription") : nullptr;
            if (!info) {
                setLastError(fmt::format("Error {} occurred, no error info", result));
            } else if (description && description->text()) {
                setLastError(*description->text());
            } else {
                setLastError(fmt::format("Error {} occurred, no message", result));
            }
        }
    }
    operation.reset();
    return done;
}

bool AFCDirectoryAccess::setmodtimeTo(const Path& path, const std::optional<PlistDate>& date) {
    if (!given(path, "Path is nil")) return false;
    if (!given(date, "timestamp is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    double seconds = date->secondsSince2001 + 978'307'200.0;
    PlatformObjectRef operation = AFCOperationCreateSetModTime(nullptr, *path, nanosecondsSince1970(seconds), this);
    if (!operation) {
        setLastError("AFCOperationCreateSetModTime() failed");
        return false;
    }
    return processOpFrom(std::move(operation), "setmodtime:to:");
}

} // namespace keldo
