#include "tools/device/Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace keldo {

Console::Console(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

void Console::write(std::string_view bytes) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), out_);
}

void Console::line(std::string_view text) {
    write(text);
    std::fputc('\n', out_);
}

void Console::error(std::string_view text) {
    std::fflush(out_);
    std::fprintf(err_, "%s: %.*s\n", kProgram, static_cast<int>(text.size()), text.data());
    std::fflush(err_);
}

void Console::progress(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), err_);
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
