#include "platform/mobiledevice/Backend.h"

#include <gtest/gtest.h>

namespace keldo {
namespace {

TEST(BackendDefault, FailsEveryOperationWithoutCrashing) {
    Backend::install(nullptr);
    EXPECT_NE(AMDeviceConnect(nullptr), 0);
    EXPECT_FALSE(AMDeviceCopyValue(nullptr, nullptr, "K"));
    EXPECT_FALSE(AMDevicePowerAssertionCreate(nullptr, "t", "n", nullptr, nullptr, 600.0));
    afc_file_ref ref = 0;
    EXPECT_NE(AFCFileRefOpen(nullptr, "/x", 1, &ref), 0);
    EXPECT_EQ(ref, 0u);
}

} // namespace
} // namespace keldo
