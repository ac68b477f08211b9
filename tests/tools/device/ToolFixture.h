#pragma once

#include "afc/AfcFixture.h"
#include "tools/device/Console.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace keldo::testing {

// A simulated device's AFC connection, a console writing to temporary files, and a local
// scratch directory, for the tool's commands run in-process.
class ToolFixture : public AfcFixture {
protected:
    ToolFixture() {
        char scratch[] = "/tmp/keldo-device-XXXXXX";
        dir = ::mkdtemp(scratch);
    }
    ~ToolFixture() override { std::filesystem::remove_all(dir); }

    static std::string contents(std::FILE* file) {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
        return text;
    }
    std::string output() { return contents(out.get()); }
    std::string errors() { return contents(err.get()); }
    std::string local(const std::string& name) const { return dir + "/" + name; }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out{std::tmpfile(), std::fclose};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> err{std::tmpfile(), std::fclose};
    Console console{out.get(), err.get()};
    std::string dir;
};

} // namespace keldo::testing
