#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace keldo {

// The library's failure texts in words for people. A library text names the platform call and
// its status ("AFCRemovePath failed: Return code = 0xE8004021"); a person wants to read what
// went wrong ("directory not empty"), with the call and the code after it for whoever digs
// further: "directory not empty [AFCRemovePath 0xE8004021]".
//
// Statuses come from three places, and every one of them is read: the device's own AFC codes
// (1 to 23), the real backend's codes (libimobiledevice, lockdownd, services, libusbmuxd and its
// own refusals, each in a range of 0xE800xxxx of its own), and the platform's codes that the
// simulated backend gives as the vendor's framework does.
class StatusText {
public:
    // The platform call and its status, read from a library text in any of its classes' forms.
    struct Failure {
        std::string call;
        std::uint32_t status;
    };
    [[nodiscard]] static std::optional<Failure> parse(const std::string& text);

    // "words [call 0xCODE]" for a text with a status; any other text as it is.
    [[nodiscard]] static std::string explain(const std::string& text);
    // What a status means, when it is one this tool knows.
    [[nodiscard]] static std::optional<std::string> meaning(std::uint32_t status);
    // "[call 0xCODE]": small codes in four digits as the library writes them, others in eight.
    [[nodiscard]] static std::string code(const Failure& failure);

    // Whether a status says that a directory still holds entries (a remove without -r).
    [[nodiscard]] static bool isNotEmpty(std::uint32_t status);
    // Whether a status says that the path is not there.
    [[nodiscard]] static bool isNotFound(std::uint32_t status);

    // Why nothing can be written at a local path, looked up on the local file system: a
    // directory that is missing, on a read-only file system or not writable. None when none of
    // these is the case.
    [[nodiscard]] static std::optional<std::string> whyNotWritable(const std::string& localPath);
    // An errno in the words of the other messages ("read-only file system").
    [[nodiscard]] static std::string ofErrno(int error);
};

} // namespace keldo
