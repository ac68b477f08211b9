#pragma once

#include <cstddef>

namespace keldo {

// Whole blocking reads and writes on a socket descriptor; a closed peer is a failure, never a signal.
class SocketStream {
public:
    [[nodiscard]] static bool readExactly(int fd, void* buffer, std::size_t size);
    [[nodiscard]] static bool writeAll(int fd, const void* buffer, std::size_t size);
};

} // namespace keldo
