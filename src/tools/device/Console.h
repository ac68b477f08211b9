#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace keldo {

// Where the tool writes: results on standard output, messages and progress on standard error.
// Every message is one line that starts with the program's name.
class Console {
public:
    Console(std::FILE* out, std::FILE* err);

    // Raw bytes to the output (file contents), and lines of results.
    void write(std::string_view bytes);
    void line(std::string_view text);
    // "keldo-device: <text>" on standard error.
    void error(std::string_view text);
    // Progress text on standard error, as it stands (a bar redraws with "\r").
    void progress(std::string_view text);
    // Hands what was written to the output on at once (for a reader of a pipe).
    void flush();

    // Whether standard error is a terminal, and how wide it is (80 when unknown).
    bool progressIsTerminal() const;
    int progressColumns() const;
    // True once a write to the output failed (a closed pipe, a full disk).
    bool outputFailed() const;

    static constexpr const char* kProgram = "keldo-device";

private:
    std::FILE* out_;
    std::FILE* err_;
};

} // namespace keldo
