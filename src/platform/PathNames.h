#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace keldo {

// Paths and names taken apart and made on their text alone, for local files and a device's alike:
// the one lexical normaliser and the one maker of temporary names.
class PathNames {
public:
    // The components `path` names, with empty ones and "." gone and each ".." taking the one before
    // it away; nothing climbs above the root, and a relative path starts there. No component is
    // then "." or "..", so a name taken from it can't lead out of the directory it is joined to.
    static std::vector<std::string> components(std::string_view path);
    // The same as an absolute path, one "/" before each component; the root is "/".
    static std::string normalise(std::string_view path);

    // A hidden name for something in the making beside `name`: ".NAME.keldo-PID-RANDOM-N", unique
    // to this process and run, and never longer than kNameMax bytes; where it would be, NAME is cut
    // before a whole character (names are UTF-8; a byte that begins none counts as one).
    static std::string temporaryName(std::string_view name);
    // The same beside a path: its directory part (all up to the last "/") stays.
    static std::string temporaryBeside(std::string_view path);

    // The longest name a file system takes, in bytes (NAME_MAX on Linux and on a device).
    static constexpr std::size_t kNameMax = 255;
};

} // namespace keldo
