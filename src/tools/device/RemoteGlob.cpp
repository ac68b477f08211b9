#include "tools/device/RemoteGlob.h"

#include "afc/AFCDirectoryAccess.h"
#include "platform/Utf8.h"
#include "tools/device/FileCommands.h"
#include "tools/device/StatusText.h"

#include <algorithm>

namespace keldo {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// One character of a name: a code point, or a byte that begins no UTF-8 sequence.
struct Char {
    std::uint32_t value;
    std::size_t length;
    bool byte;
};

Char charAt(std::string_view text, std::size_t i) {
    const Utf8::Sequence s = Utf8::decode(text, i);
    if (s.valid()) return {s.codePoint, s.length, false};
    return {static_cast<unsigned char>(text[i]), 1, true};
}

bool isSpecial(char c) { return c == '*' || c == '?' || c == '[' || c == '\\'; }

// The "]" that closes the bracket expression opened at `open`, or npos when none does (the "["
// is then an ordinary character). A "]" first in the list is a member; so is what a backslash
// escapes, and a class such as [:digit:] is read whole.
std::size_t bracketEnd(std::string_view p, std::size_t open) {
    std::size_t j = open + 1;
    if (j < p.size() && (p[j] == '!' || p[j] == '^')) ++j;
    if (j < p.size() && p[j] == ']') ++j;
    while (j < p.size() && p[j] != ']') {
        if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
            const std::size_t close = p.find(":]", j + 2);
            if (close != npos) {
                j = close + 2;
                continue;
            }
        }
        j += p[j] == '\\' && j + 1 < p.size() ? 2 : 1;
    }
    return j < p.size() ? j : npos;
}

bool inClass(std::string_view name, std::uint32_t c) {
    const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
    if (name == "alpha") return upper || lower;
    if (name == "digit") return digit;
    if (name == "alnum") return upper || lower || digit;
    if (name == "upper") return upper;
    if (name == "lower") return lower;
    if (name == "xdigit") return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (name == "space") return c == ' ' || (c >= '\t' && c <= '\r');
    if (name == "blank") return c == ' ' || c == '\t';
    if (name == "punct") return c >= '!' && c <= '~' && !upper && !lower && !digit;
    if (name == "cntrl") return c < ' ' || c == 0x7f;
    if (name == "print") return c >= ' ' && c < 0x7f;
    if (name == "graph") return c > ' ' && c < 0x7f;
    return false;
}

// Whether `c` is a member of the bracket expression p[open..end].
bool inBracket(std::string_view p, std::size_t open, std::size_t end, const Char& c) {
    std::size_t j = open + 1;
    const bool negated = p[j] == '!' || p[j] == '^';
    if (negated) ++j;
    bool found = false;
    while (j < end) {
        if (p[j] == '[' && j + 1 < end && p[j + 1] == ':') {
            const std::size_t close = p.find(":]", j + 2);
            if (close != npos && close < end) {
                found = found || (!c.byte && inClass(p.substr(j + 2, close - j - 2), c.value));
                j = close + 2;
                continue;
            }
        }
        if (p[j] == '\\' && j + 1 < end) ++j;
        const Char low = charAt(p, j);
        j += low.length;
        Char high = low;
        if (j + 1 < end && p[j] == '-') {
            ++j;
            if (p[j] == '\\' && j + 1 < end) ++j;
            high = charAt(p, j);
            j += high.length;
        }
        if (low.byte || high.byte || c.byte) {
            found = found || (c.byte == low.byte && c.value == low.value);
        } else {
            found = found || (low.value <= c.value && c.value <= high.value);
        }
    }
    return found != negated;
}

// Matches one pattern character (not "*") at p[pi] against the name's character at n[ni];
// on success, moves both on.
bool matchOne(std::string_view p, std::size_t& pi, std::string_view n, std::size_t& ni) {
    const Char c = charAt(n, ni);
    if (p[pi] == '?') {
        ++pi;
        ni += c.length;
        return true;
    }
    if (p[pi] == '[') {
        const std::size_t end = bracketEnd(p, pi);
        if (end != npos) {
            if (!inBracket(p, pi, end, c)) return false;
            pi = end + 1;
            ni += c.length;
            return true;
        }
    }
    std::size_t at = pi;
    if (p[at] == '\\' && at + 1 < p.size() && isSpecial(p[at + 1])) ++at;
    const Char literal = charAt(p, at);
    if (p.substr(at, literal.length) != n.substr(ni, c.length)) return false;
    pi = at + literal.length;
    ni += c.length;
    return true;
}

std::string joined(const std::string& prefix, const std::string& name) {
    if (prefix.empty()) return name;
    return prefix.back() == '/' ? prefix + name : prefix + "/" + name;
}

} // namespace

RemoteGlob::RemoteGlob(AFCDirectoryAccess& afc) : afc_(afc) {}

bool RemoteGlob::isPattern(std::string_view path) {
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '\\' && i + 1 < path.size() && isSpecial(path[i + 1])) {
            ++i;
        } else if (c == '*' || c == '?') {
            return true;
        } else if (c == '[') {
            // A "/" ends the part: a bracket closed only beyond it is no bracket.
            const std::size_t end = bracketEnd(path, i);
            if (end != npos && path.substr(i, end - i).find('/') == npos) return true;
        }
    }
    return false;
}

bool RemoteGlob::matches(std::string_view pattern, std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    // A leading "." is matched only by one written out.
    if (name[0] == '.' && !(pattern.substr(0, 1) == "." || pattern.substr(0, 2) == "\\.")) return false;
    // The usual wildcard walk: on a mismatch, the last "*" takes one more character and the rest
    // is tried again from there, so no pattern costs more than its length times the name's.
    std::size_t pi = 0, ni = 0;
    std::size_t starPattern = npos, starName = 0;
    while (ni < name.size()) {
        if (pi < pattern.size() && pattern[pi] == '*') {
            starPattern = ++pi;
            starName = ni;
            continue;
        }
        if (pi < pattern.size() && matchOne(pattern, pi, name, ni)) continue;
        if (starPattern == npos) return false;
        starName += charAt(name, starName).length;
        ni = starName;
        pi = starPattern;
    }
    while (pi < pattern.size() && pattern[pi] == '*') ++pi;
    return pi == pattern.size();
}

std::string RemoteGlob::literal(std::string_view part) {
    std::string text;
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '\\' && i + 1 < part.size() && isSpecial(part[i + 1])) ++i;
        text += part[i];
    }
    return text;
}

RemoteGlob::Expansion RemoteGlob::expand(const std::string& path) {
    Expansion expansion;
    // An entry whose name holds pattern characters is meant when it is there as written: taken
    // as a pattern, "photo[1].jpg" would name "photo1.jpg" beside it instead.
    const std::string plain = literal(path);
    if ((plain != path || isPattern(path)) && afc_.getFileInfo(path)) {
        expansion.paths.push_back(path);
        return expansion;
    }
    if (!isPattern(path)) {
        expansion.paths.push_back(plain);
        return expansion;
    }
    const bool directoriesOnly = path.back() == '/';
    std::vector<std::string> prefixes{path[0] == '/' ? "/" : ""};
    std::size_t start = 0;
    while (start < path.size() && !prefixes.empty()) {
        std::size_t end = path.find('/', start);
        if (end == npos) end = path.size();
        const std::string_view part = std::string_view(path).substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (!isPattern(part)) {
            for (auto& prefix : prefixes) prefix = joined(prefix, literal(part));
            continue;
        }
        std::vector<std::string> next;
        for (const auto& prefix : prefixes) {
            auto names = afc_.directoryContents(prefix.empty() ? "/" : prefix);
            if (!names) {
                const auto failure = StatusText::parse(afc_.lastError().value_or(""));
                // A part before the pattern that is missing or no directory simply matches nothing.
                if (!expansion.failure && !(failure && (StatusText::isNotFound(failure->status) || failure->status == 4)))
                    expansion.failure = afc_.lastError().value_or("failed");
                continue;
            }
            std::sort(names->begin(), names->end());
            for (const auto& name : *names) {
                // A listed name that is no name would lead the pattern somewhere else.
                if (FileCommands::isSafeName(name) && matches(part, name)) next.push_back(joined(prefix, name));
            }
        }
        prefixes = std::move(next);
    }
    for (auto& found : prefixes) {
        if (!directoriesOnly) {
            expansion.paths.push_back(std::move(found));
        } else if (FileCommands::isDirectory(afc_, found)) {
            expansion.paths.push_back(found + "/");
        }
    }
    std::sort(expansion.paths.begin(), expansion.paths.end());
    return expansion;
}

} // namespace keldo
