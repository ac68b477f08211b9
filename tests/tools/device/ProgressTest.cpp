#include "tools/device/Progress.h"

#include "tools/device/Console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace keldo {
namespace {

// Standard error in a temporary file, which is no terminal: the plain lines.
class ProgressLines : public ::testing::Test {
protected:
    std::string written() {
        std::fflush(err.get());
        std::rewind(err.get());
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, err.get())) > 0;) text.append(buffer, n);
        return text;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out{std::tmpfile(), std::fclose};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> err{std::tmpfile(), std::fclose};
    Console console{out.get(), err.get()};
    double now = 100;
    Progress::Clock clock = [this] { return now; };
};

TEST_F(ProgressLines, ComeEveryTwoSecondsWithFilesAndSumUpAtTheEnd) {
    Progress progress(console, "push", 1500, 3, true, clock);
    now += 1;
    progress.update(100);
    EXPECT_EQ(written(), "");
    now += 1;
    progress.update(400);
    EXPECT_EQ(written(), "push: 400 B of 1.5 KiB (26%), 0/3 files, 200 B/s, 0:06 left\n");
    // Files that won't move leave the totals; the summary counts them.
    progress.leaveOut(Progress::Left::UpToDate, 1, 300);
    progress.leaveOut(Progress::Left::Refused, 1, 200);
    now += 1.5;
    progress.update(500);
    progress.note("push a: refused");
    now += 1.5;
    progress.update(1000);
    progress.fileDone();
    progress.finish(true);
    EXPECT_EQ(written(), "push: 400 B of 1.5 KiB (26%), 0/3 files, 200 B/s, 0:06 left\n"
                         "keldo-device: push a: refused\n"
                         "push: 1000 B of 1000 B (100%), 0/1 file, 200 B/s, 0:00 left\n"
                         "push: 1 file, 1000 B in 5.0 s (200 B/s), 1 up to date, 1 refused\n");
}

TEST_F(ProgressLines, SayNothingAfterAFailureOrWhenDisabled) {
    Progress failed(console, "pull", 1000, 1, true, clock);
    failed.finish(false);
    Progress quiet(console, "pull", 1000, 1, false, clock);
    now += 10;
    quiet.update(500);
    quiet.finish(true);
    EXPECT_EQ(written(), "");
}

TEST(ProgressText, BarFitsAnyWidth) {
    for (int columns = 1; columns <= 200; ++columns) {
        const std::string bar = Progress::bar("push", 3 << 20, 8 << 20, 1, 12, 2.0, columns);
        EXPECT_LE(static_cast<int>(bar.size()), std::max(columns - 1, 0)) << columns;
    }
    EXPECT_EQ(Progress::bar("push", 2 << 20, 8 << 20, 1, 12, 2.0, 80),
              "push [#####...............] 2.0 MiB / 8.0 MiB  1/12 files  1.0 MiB/s  0:06 left");
    EXPECT_EQ(Progress::bar("pull", 0, 0, 0, 0, 0, 60), "pull [#############] 0 B / 0 B  0/0 files  0 B/s  0:00 left");
}

TEST(ProgressText, BytesAndDurations) {
    EXPECT_EQ(Progress::bytes(1023), "1023 B");
    EXPECT_EQ(Progress::bytes(1536), "1.5 KiB");
    EXPECT_EQ(Progress::bytes(5ull << 30), "5.0 GiB");
    EXPECT_EQ(Progress::bytes(~0ull), "16777216.0 TiB");
    EXPECT_EQ(Progress::duration(59.2), "1:00");
    EXPECT_EQ(Progress::duration(3725), "1:02:05");
    EXPECT_EQ(Progress::duration(-1), "--:--");
    EXPECT_EQ(Progress::duration(1e12), "--:--");
}

} // namespace
} // namespace keldo
