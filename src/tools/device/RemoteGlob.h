#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;

// Remote paths with shell patterns, expanded against the device's listings: a user quotes
// '/DCIM/*.JPG' so that the local shell leaves it alone, and the names on the device answer it.
//
// A part of a path is a pattern when it holds *, ? or [...] as the shell has them (a "[" that
// is never closed is an ordinary character). Matching is by character, not by byte, for names
// that are UTF-8; a byte that is no UTF-8 is one character of its own. As in the shell, a
// leading "." must be written to be matched, "." and ".." are never matched, and a backslash
// before *, ?, [ or \ makes it an ordinary character. A pattern that ends in "/" matches
// directories only. Directories that can't be listed match nothing.
//
// A path that names an entry as written stands for that entry and is no pattern: the file named
// "photo[1].jpg" is meant, not "photo1.jpg" beside it. Only a path that names nothing is matched.
class RemoteGlob {
public:
    explicit RemoteGlob(AFCDirectoryAccess& afc);

    struct Expansion {
        // Sorted by bytes; a path that is no pattern comes back as itself, its escapes removed
        // unless it names an entry as written.
        std::vector<std::string> paths;
        // The first listing that failed for another reason than a missing directory: when
        // nothing matched, this may be why.
        std::optional<std::string> failure;
    };
    Expansion expand(const std::string& path);

    // Whether a path holds a pattern at all.
    static bool isPattern(std::string_view path);
    // Whether a name matches the pattern of one part of a path.
    static bool matches(std::string_view pattern, std::string_view name);
    // The part with its escapes removed, for a part that is no pattern.
    static std::string literal(std::string_view part);

private:
    AFCDirectoryAccess& afc_;
};

} // namespace keldo
