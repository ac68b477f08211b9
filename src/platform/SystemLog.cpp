#include "platform/SystemLog.h"

#include "platform/TerminalText.h"

#include <cstdio>
#include <mutex>

namespace keldo {

namespace {

// One plain line on standard error, escaped for a terminal (lines carry names from devices); a
// desktop host installs a sink of its own (the user journal).
void writeToStandardError(const std::string& line) {
    const std::string text = TerminalText::escaped(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
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
