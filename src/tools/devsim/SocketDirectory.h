#pragma once

#include <string>
#include <sys/types.h>

namespace keldo {

// The private directory of the simulator's default socket (/tmp/keldo-devsim-UID). Whoever can
// put a socket of their own there stands in for every simulated device, and reads what clients
// send them: so a missing one is made mode 0700, and one that is there is used only when it is a
// directory (not a link to one) of the user's own that no one else can write into.
class SocketDirectory {
public:
    // Makes or checks `path` for the user `owner`; false with `error` when it is not fit.
    [[nodiscard]] static bool prepare(const std::string& path, uid_t owner, std::string& error);
};

} // namespace keldo
