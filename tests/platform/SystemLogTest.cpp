#include "platform/SystemLog.h"

#include <gtest/gtest.h>

namespace keldo {
namespace {

TEST(SystemLog, ThePlainSinkEscapesWhatATerminalWouldActOn) {
    const SystemLog::Sink previous = SystemLog::setSink(nullptr);
    ::testing::internal::CaptureStderr();
    logLine("AFCDirectoryOpen failed at /{}", "\x1b[7m\x9b\xE2\x80\xAEgpj.exe");
    const std::string written = ::testing::internal::GetCapturedStderr();
    SystemLog::setSink(previous);
    EXPECT_EQ(written, "AFCDirectoryOpen failed at /\\x1b[7m\\x9b\\u202egpj.exe\n");
}

} // namespace
} // namespace keldo
