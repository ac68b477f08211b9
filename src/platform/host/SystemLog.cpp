#include "platform/host/SystemLog.h"

#include <glib.h>

#include <mutex>

namespace keldo {

namespace {

// Through GLib's structured log: the user journal when the agent runs as a user service, one plain
// line on standard error in a terminal or CI.
void writeToStandardError(const std::string& line) {
    g_log_structured("keldo-agent", G_LOG_LEVEL_MESSAGE, "MESSAGE", "%s", line.c_str());
}

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

SystemLog::Sink& installedSink() {
    static SystemLog::Sink sink = writeToStandardError;
    return sink;
}

} // namespace

void SystemLog::write(const std::string& line) {
    // Lines from several threads never interleave: the sink is called under the lock.
    std::lock_guard lock(sinkMutex());
    installedSink()(line);
}

SystemLog::Sink SystemLog::setSink(Sink sink) {
    if (!sink) sink = writeToStandardError;
    std::lock_guard lock(sinkMutex());
    std::swap(installedSink(), sink);
    return sink;
}

} // namespace keldo
