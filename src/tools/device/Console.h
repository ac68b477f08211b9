#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace keldo {

class JsonWriter;

// Where the tool writes: results on standard output, messages and progress on standard error.
// Every message is one line that starts with the program's name.
//
// It is the one place where text leaves the tool for a terminal: every line of results, message
// and progress text is escaped here (TerminalText), so a name from a device can't move the cursor,
// change colours or disguise itself; callers pass texts as they are. File contents and the tool's
// own help go out raw, and JSON as its writer made it.
class Console {
public:
    Console(std::FILE* out, std::FILE* err);

    // Raw bytes to the output: file contents, the tool's own help.
    void write(std::string_view bytes);
    // One line of results.
    void line(std::string_view text);
    // One JSON document on a line of its own.
    void json(const JsonWriter& document);
    // "keldo-device: <text>" on standard error.
    void error(std::string_view text);
    // The line error() writes, for a writer that can't go through a stream (the watchdog).
    static std::string errorLine(std::string_view text);
    // Progress on standard error: one line, or a bar that redraws in place on a terminal (the last
    // one ends the line).
    void progressLine(std::string_view text);
    void progressBar(std::string_view text, bool last);
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
