#include "platform/PathNames.h"

#include "platform/Utf8.h"

#include <fmt/format.h>

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace keldo {

namespace {

// Random for each run, so that a name left by an earlier process with the same number is never
// taken for one of ours.
std::uint32_t runSalt() {
    std::uint32_t salt = 0;
    if (::getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt))
        salt = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return salt;
}

} // namespace

std::vector<std::string> PathNames::components(std::string_view path) {
    std::vector<std::string> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
    }
    return parts;
}

std::string PathNames::normalise(std::string_view path) {
    std::string normalised;
    for (const auto& part : components(path)) normalised.append("/").append(part);
    return normalised.empty() ? "/" : normalised;
}

std::string PathNames::temporaryName(std::string_view name) {
    static const std::uint32_t salt = runSalt();
    static std::atomic<unsigned> counter{0};
    const std::string suffix = fmt::format(".keldo-{:x}-{:08x}-{:x}", ::getpid(), salt, counter.fetch_add(1));
    const std::size_t room = kNameMax - 1 - suffix.size();  // 1 for the leading "."
    std::size_t kept = 0;
    while (kept < name.size()) {
        const Utf8::Sequence next = Utf8::decode(name, kept);
        const std::size_t length = next.valid() ? next.length : 1;
        if (kept + length > room) break;
        kept += length;
    }
    return fmt::format(".{}{}", name.substr(0, kept), suffix);
}

std::string PathNames::temporaryBeside(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    return std::string(path.substr(0, start)) + temporaryName(path.substr(start));
}

} // namespace keldo
