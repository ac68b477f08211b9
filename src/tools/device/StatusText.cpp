#include "tools/device/StatusText.h"

#include "platform/imobiledevice/ImobiledeviceStatus.h"
#include "platform/mobiledevice/MobileDevice.h"

#include <fmt/format.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace keldo {

namespace {

using Source = ImobiledeviceStatus::Source;

// The device's own AFC codes, which libimobiledevice passes on as they are.
constexpr const char* kAfc[] = {
    nullptr, "unknown error", "invalid header", "no resources", "not a directory, or a read error",
    "write error", "unknown packet type", "invalid argument", "no such file or directory", "is a directory",
    "permission denied", "service not connected", "timed out", "too much data", "end of data",
    "operation not supported", "already exists", "busy", "no space left on the device", "would block",
    "I/O error", "interrupted", "in progress", "internal error",
};

struct Word {
    int code;
    const char* text;
};

constexpr const char* kNotPaired = "not paired with this computer";
constexpr const char* kLocked = "device is locked";
constexpr const char* kTimedOut = "timed out";
constexpr const char* kUnreachable = "can't reach the device";

// libimobiledevice's AFC client codes beyond the device's.
constexpr Word kAfcClient[] = {
    {30, kUnreachable}, {31, "out of memory"}, {32, "the device sent too little data"}, {33, "directory not empty"},
};

constexpr Word kIdevice[] = {
    {1, "invalid argument"}, {2, "unknown error"}, {3, "no such device"}, {4, "the device sent too little data"},
    {6, "TLS error"}, {7, kTimedOut},
};

constexpr Word kLockdown[] = {
    {1, "invalid argument"},
    {2, "invalid configuration"},
    {3, "the device's answer is no property list"},
    {4, "pairing failed"},
    {5, "TLS error"},
    {6, "the device's answer is incomplete"},
    {7, kTimedOut},
    {8, kUnreachable},
    {9, "no session with the device"},
    {10, "the device's answer makes no sense"},
    {11, "no such key"},
    {12, "no such value"},
    {13, "the device does not give this value"},
    {14, "the device does not let this value be set"},
    {15, "the device does not let this value be removed"},
    {16, "the value can't be changed"},
    {17, kLocked},
    {18, "not paired: the device's user refused to trust this computer"},
    {19, "not paired: trust this computer on the device"},
    {20, kNotPaired},
    {21, kNotPaired},
    {22, "a session is already active"},
    {23, "no session with the device"},
    {24, "no session with the device"},
    {25, "no session with the device"},
    {26, "no such service"},
    {27, "no such service"},
    {28, "too many connections to the service"},
    {29, "not paired with this computer (no pair record)"},
    {30, "can't save the pair record"},
    {31, "not paired with this computer (invalid pair record)"},
    {32, "the device is not activated"},
    {33, "the device is not activated"},
    {34, "the device does not allow this service"},
    {35, "device is locked (unlock it once after it restarted)"},
    {36, "pairing is not allowed over this connection"},
    {37, "Find My iPhone forbids it"},
    {38, "the device's management profile forbids it"},
    {39, "the device's management profile wants a challenge"},
    {256, "unknown lockdownd error"},
};

constexpr Word kService[] = {
    {1, "invalid argument"}, {3, kUnreachable}, {4, "TLS error"}, {5, "the service could not be started"},
    {6, "the device sent too little data"}, {7, kTimedOut}, {256, "unknown service error"},
};

constexpr Word kBackend[] = {
    {ImobiledeviceStatus::kNoSuchDevice, "the device is not attached"},
    {ImobiledeviceStatus::kNotConnected, "not connected to the device"},
    {ImobiledeviceStatus::kNoSession, "no session with the device"},
    {ImobiledeviceStatus::kInvalidArgument, "invalid argument"},
    {ImobiledeviceStatus::kNotPaired, kNotPaired},
    {ImobiledeviceStatus::kNoSuchObject, "the connection is closed or gone"},
    {ImobiledeviceStatus::kNotProcessed, "the operation was not carried out"},
    {ImobiledeviceStatus::kTimedOut, kTimedOut},
    {ImobiledeviceStatus::kNotEncrypted, "the device (or something between it and this computer) would not encrypt the session"},
    {ImobiledeviceStatus::kNoAnswer, "usbmuxd can't be reached or did not answer in time"},
};

// The vendor framework's own statuses, which the simulated backend gives.
constexpr Word kFramework[] = {
    {static_cast<int>(static_cast<std::uint32_t>(kAMDUndefinedError) & 0xFFF), "not offered by this platform"},
    {0x12, "not connected to the device"},
    {0x1a, kLocked},
    {0x1c, kNotPaired},
    {0x1d, "no session with the device"},
    {0x84, "the device is not attached"},
    {0x95, "not paired: trust this computer on the device"},
    {0x96, "not paired: the device's user refused to trust this computer"},
};

template <std::size_t N>
std::optional<std::string> lookUp(const Word (&words)[N], int code) {
    for (const auto& word : words) {
        if (word.code == code) return std::string(word.text);
    }
    return std::nullopt;
}

constexpr std::uint32_t kRange = 0xE8000000u;

bool readNumber(const std::string& digits, int base, std::uint32_t& value) {
    if (digits.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long number = std::strtoll(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || number < INT32_MIN || number > static_cast<long long>(UINT32_MAX)) return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

} // namespace

std::optional<StatusText::Failure> StatusText::parse(const std::string& text) {
    static const std::string kFailed = " failed: ";
    static const std::string kReturnCode = "Return code = 0x";
    const std::size_t at = text.rfind(kFailed);
    if (at == std::string::npos || at == 0) return std::nullopt;
    Failure failure{text.substr(0, at), 0};
    const std::string rest = text.substr(at + kFailed.size());
    // AFCDirectoryAccess: "0x%04X"; AMDevice: "%x"; AFCFileReference: "%d".
    bool read = false;
    if (rest.rfind(kReturnCode, 0) == 0) {
        read = rest.size() > kReturnCode.size() && rest[kReturnCode.size()] != '-' &&
               readNumber(rest.substr(kReturnCode.size()), 16, failure.status);
    } else if (failure.call.rfind("AMDevice", 0) == 0) {
        read = !rest.empty() && rest[0] != '-' && readNumber(rest, 16, failure.status);
    } else if (failure.call.rfind("AFCFileRef", 0) == 0) {
        read = readNumber(rest, 10, failure.status);
    }
    if (!read || failure.status == 0 || failure.call.find(' ') != std::string::npos) return std::nullopt;
    return failure;
}

std::string StatusText::code(const Failure& failure) {
    if (failure.status <= 0xFFFF) return fmt::format("[{} 0x{:04X}]", failure.call, failure.status);
    return fmt::format("[{} 0x{:08X}]", failure.call, failure.status);
}

std::string StatusText::explain(const std::string& text) {
    const auto failure = parse(text);
    if (!failure) return text;
    const auto words = meaning(failure->status);
    return fmt::format("{} {}", words.value_or("failed"), code(*failure));
}

std::optional<std::string> StatusText::meaning(std::uint32_t status) {
    if (status > 0 && status < std::size(kAfc)) return std::string(kAfc[status]);
    if ((status & 0xFF000000u) != kRange) return std::nullopt;
    const int magnitude = static_cast<int>(status & 0xFFFu);
    switch (static_cast<Source>((status >> 12) & 0xFFFu)) {
    case Source::Device: return lookUp(kIdevice, magnitude);
    case Source::Lockdown: return lookUp(kLockdown, magnitude);
    case Source::Service: return lookUp(kService, magnitude);
    case Source::AfcClient: return lookUp(kAfcClient, magnitude);
    case Source::Usbmuxd:
        // libusbmuxd's statuses are errno values.
        return fmt::format("usbmuxd: {}", ofErrno(magnitude));
    case Source::Backend: return lookUp(kBackend, magnitude);
    }
    if ((status & 0x00FFF000u) == 0) return lookUp(kFramework, magnitude);
    return std::nullopt;
}

bool StatusText::isNotEmpty(std::uint32_t status) {
    return status == (kRange | static_cast<std::uint32_t>(Source::AfcClient) << 12 | 33u);
}

bool StatusText::isNotFound(std::uint32_t status) { return status == 8; }

std::string StatusText::ofErrno(int error) {
    std::string text = std::strerror(error);
    // In the lower case of the other messages, but "I/O error" stays as it is written.
    if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z') && text[1] != '/')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::optional<std::string> StatusText::whyNotWritable(const std::string& localPath) {
    // The directory that would hold the path: the path itself when it is a directory.
    struct stat info {};
    std::string directory = localPath;
    if (::stat(localPath.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        const std::size_t slash = localPath.find_last_of('/');
        directory = slash == std::string::npos ? "." : slash == 0 ? "/" : localPath.substr(0, slash);
    }
    if (::stat(directory.c_str(), &info) != 0) return fmt::format("{}: {}", directory, ofErrno(errno));
    if (!S_ISDIR(info.st_mode)) return fmt::format("{} is not a directory", directory);
    struct statvfs volume {};
    if (::statvfs(directory.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0)
        return fmt::format("{} is on a read-only file system", directory);
    if (::access(directory.c_str(), W_OK | X_OK) != 0)
        return fmt::format("{} is not writable: {}", directory, ofErrno(errno));
    return std::nullopt;
}

} // namespace keldo
