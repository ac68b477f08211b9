#pragma once

#include <fmt/format.h>

#include <functional>
#include <string>

namespace keldo {

// The system log: one line per message, no levels. Lines go to a sink, which is standard error
// until a host or a test installs another.
class SystemLog {
public:
    using Sink = std::function<void(const std::string& line)>;

    static void write(const std::string& line);

    // Installs a sink (null restores the default) and returns the one it replaces.
    static Sink setSink(Sink sink);
};

template <typename... Args>
void logLine(fmt::format_string<Args...> format, Args&&... args) {
    SystemLog::write(fmt::format(format, std::forward<Args>(args)...));
}

} // namespace keldo
