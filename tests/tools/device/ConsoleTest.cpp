#include "tools/device/Console.h"

#include "tools/device/JsonWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace keldo {
namespace {

class ConsoleTest : public ::testing::Test {
protected:
    static std::string contents(std::FILE* file) {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
        return text;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out{std::tmpfile(), std::fclose};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> err{std::tmpfile(), std::fclose};
    Console console{out.get(), err.get()};
};

TEST_F(ConsoleTest, EscapesResultsMessagesAndProgressOnTheirWayOut) {
    console.line("/\x1b[7m/a\x9b" "b");
    console.error("tree /: Directory tree deeper than 512 levels at /\x1b[7m");
    console.progressLine("pull \xE2\x80\xAEgpj.exe");
    console.progressBar("push [#.] \xC2\x9B", false);
    console.progressBar("push [##]", true);
    EXPECT_EQ(contents(out.get()), "/\\x1b[7m/a\\x9bb\n");
    EXPECT_EQ(contents(err.get()), "keldo-device: tree /: Directory tree deeper than 512 levels at /\\x1b[7m\n"
                                   "pull \\u202egpj.exe\n"
                                   "\rpush [#.] \\u009b\x1b[K"
                                   "\rpush [##]\x1b[K\n");
}

TEST_F(ConsoleTest, PassesFileContentsAndJsonThroughUnchanged) {
    const std::string bytes("\x1b[7m\x9b\\\0", 7);
    console.write(bytes);
    JsonWriter json;
    json.beginArray().text("C:\\dir\x1b").endArray();
    console.json(json);
    EXPECT_EQ(contents(out.get()), bytes + R"(["C:\\dir\u001b"])" + "\n");
}

} // namespace
} // namespace keldo
