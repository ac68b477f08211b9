#include "tools/device/Console.h"

#include "platform/TerminalText.h"
#include "tools/device/JsonWriter.h"

#include <fmt/format.h>

#include <sys/ioctl.h>
#include <unistd.h>

namespace keldo {

namespace {

void put(std::FILE* file, std::string_view bytes) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
}

} // namespace

Console::Console(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

void Console::write(std::string_view bytes) { put(out_, bytes); }

void Console::line(std::string_view text) { put(out_, TerminalText::escaped(text) + "\n"); }

void Console::json(const JsonWriter& document) { put(out_, document.str() + "\n"); }

void Console::error(std::string_view text) {
    std::fflush(out_);
    put(err_, errorLine(text));
    std::fflush(err_);
}

std::string Console::errorLine(std::string_view text) {
    return fmt::format("{}: {}\n", kProgram, TerminalText::escaped(text));
}

void Console::progressLine(std::string_view text) {
    put(err_, TerminalText::escaped(text) + "\n");
    std::fflush(err_);
}

void Console::progressBar(std::string_view text, bool last) {
    // Back to the start of the line, the bar, and the rest of the line cleared.
    put(err_, "\r" + TerminalText::escaped(text) + "\x1b[K" + (last ? "\n" : ""));
    std::fflush(err_);
}

void Console::flush() { std::fflush(out_); }

bool Console::progressIsTerminal() const { return ::isatty(::fileno(err_)) == 1; }

int Console::progressColumns() const {
    winsize size{};
    if (::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

bool Console::outputFailed() const { return std::ferror(out_) != 0 || std::fflush(out_) != 0; }

} // namespace keldo
