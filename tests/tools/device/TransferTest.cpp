#include "tools/device/Transfer.h"

#include "tools/device/ExitCode.h"
#include "tools/device/ToolFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace keldo {
namespace {

using Fault = SimulatedFileSystem::Fault;
namespace fs = std::filesystem;

class TransferTest : public testing::ToolFixture {
protected:
    std::string read(const std::string& name) {
        std::ifstream in(local(name), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(TransferTest, APullThatFailsInATreeKeepsWhatCameAndNoHalfFile) {
    files->addFile("/T/1.txt", "one");
    files->addFile("/T/2.bin", std::string(3 << 20, 'x'));
    files->addFile("/T/3.txt", "three");
    // The second megabyte of 2.bin can't be read.
    files->inject(Fault("AFCFileRefRead", 20).onPath("/T/2.bin").after(1));

    EXPECT_EQ(Transfer(console, *afc, false).pull("/T", local("out")), kExitPartial);
    EXPECT_EQ(errors(), "keldo-device: pull /T/2.bin: I/O error [AFCFileRefRead 0x0014]\n");
    EXPECT_EQ(read("out/1.txt"), "one");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(local("out"))) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"1.txt"});
}

TEST_F(TransferTest, APullIntoADirectoryTakesTheRemoteName) {
    files->addFile("/Books/Welcome.txt", "hello");
    files->addSymbolicLink("/Books/Latest.txt", "Welcome.txt");
    fs::create_directory(local("in"));

    EXPECT_EQ(Transfer(console, *afc, false).pull("/Books/Welcome.txt", local("in")), kExitSuccess);
    EXPECT_EQ(read("in/Welcome.txt"), "hello");
    // A link named on the command line is followed; one inside a tree is made again.
    EXPECT_EQ(Transfer(console, *afc, false).pull("/Books/Latest.txt", local("latest.txt")), kExitSuccess);
    EXPECT_EQ(read("latest.txt"), "hello");
    EXPECT_EQ(Transfer(console, *afc, false).pull("/Books/", local("in")), kExitSuccess);
    EXPECT_EQ(fs::read_symlink(local("in/Books/Latest.txt")), "Welcome.txt");
    EXPECT_EQ(errors(), "");
}

} // namespace
} // namespace keldo
