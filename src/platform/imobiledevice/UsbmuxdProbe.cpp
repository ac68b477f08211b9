#include "platform/imobiledevice/UsbmuxdProbe.h"

#include <fmt/format.h>
#include <usbmuxd-proto.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>

namespace keldo {

namespace {

constexpr const char* kUnixPrefix = "UNIX:";

struct HostPort {
    std::string host;
    std::string port;
};

// "host:port" or "[v6 host]:port", read as libusbmuxd reads it: the port after the last colon,
// 1 to 65535, and a host that is not empty. Anything else is no address, and libusbmuxd goes to
// the system's socket instead.
std::optional<HostPort> hostPortOf(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    char* end = nullptr;
    const long port = std::strtol(portText.c_str(), &end, 10);
    if (!end || *end != '\0' || port <= 0 || port >= 65536) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (!host.empty() && host[0] == '[') {
        host.erase(0, 1);
        if (const std::size_t bracket = host.rfind(']'); bracket != std::string::npos) host.erase(bracket);
    }
    if (host.empty()) return std::nullopt;
    return HostPort{host, std::to_string(port)};
}

std::string errorText(int error) { return std::generic_category().message(error); }

} // namespace

std::string UsbmuxdProbe::address() {
    if (const char* variable = std::getenv("USBMUXD_SOCKET_ADDRESS")) {
        const std::string text = variable;
        if (text.rfind(kUnixPrefix, 0) == 0) {
            if (text.size() > std::strlen(kUnixPrefix)) return text;
        } else if (hostPortOf(text)) {
            return text;
        }
    }
    return std::string(kUnixPrefix) + USBMUXD_SOCKET_FILE;
}

std::vector<UsbmuxdProbe::Candidate> UsbmuxdProbe::candidatesOf(const std::string& address, std::string& reason) {
    std::vector<Candidate> candidates;
    if (address.rfind(kUnixPrefix, 0) == 0) {
        const std::string path = address.substr(std::strlen(kUnixPrefix));
        Candidate unix{AF_UNIX, {}, sizeof(sockaddr_un)};
        auto* name = reinterpret_cast<sockaddr_un*>(&unix.address);
        name->sun_family = AF_UNIX;
        if (path.size() >= sizeof name->sun_path) {
            reason = errorText(ENAMETOOLONG);
            return candidates;
        }
        std::memcpy(name->sun_path, path.c_str(), path.size() + 1);
        candidates.push_back(unix);
        return candidates;
    }
    const auto hostPort = hostPortOf(address);
    if (!hostPort) {
        reason = "no address to connect to";
        return candidates;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int status = ::getaddrinfo(hostPort->host.c_str(), hostPort->port.c_str(), &hints, &found)) {
        reason = ::gai_strerror(status);
        return candidates;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, ::freeaddrinfo);
    for (const addrinfo* each = found; each; each = each->ai_next) {
        if (each->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Candidate candidate{each->ai_family, {}, each->ai_addrlen};
        std::memcpy(&candidate.address, each->ai_addr, each->ai_addrlen);
        candidates.push_back(candidate);
    }
    return candidates;
}

UsbmuxdProbe::UsbmuxdProbe() : address_(address()) {
    candidates_ = candidatesOf(address_, reason_);
    if (candidates_.empty()) {
        outcome_ = Outcome::Unreachable;
        if (reason_.empty()) reason_ = "no address to connect to";
        return;
    }
    connectNext();
}

UsbmuxdProbe::~UsbmuxdProbe() { close(); }

void UsbmuxdProbe::connectNext() {
    while (next_ < candidates_.size()) {
        const Candidate& candidate = candidates_[next_++];
        const int fd = ::socket(candidate.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            reason_ = errorText(errno);
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&candidate.address), candidate.length) == 0) {
            ::close(fd);
            outcome_ = Outcome::Reached;
            return;
        }
        const int error = errno;
        if (error == EINPROGRESS) {
            socket_ = fd;
            return;
        }
        ::close(fd);
        // A UNIX socket whose queue of connections is full has a daemon behind it, a busy one.
        if (error == EAGAIN && candidate.family == AF_UNIX) {
            outcome_ = Outcome::Reached;
            return;
        }
        reason_ = errorText(error);
    }
    outcome_ = Outcome::Unreachable;
    if (reason_.empty()) reason_ = "no address to connect to";
}

UsbmuxdProbe::Outcome UsbmuxdProbe::outcome() {
    if (outcome_ != Outcome::Pending || socket_ < 0) return outcome_;
    pollfd ready{socket_, POLLOUT, 0};
    if (::poll(&ready, 1, 0) <= 0) return outcome_;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    close();
    if (error == 0) {
        outcome_ = Outcome::Reached;
        return outcome_;
    }
    reason_ = errorText(error);
    connectNext();
    return outcome_;
}

std::string UsbmuxdProbe::failure() const {
    return fmt::format("can't reach usbmuxd at {}: {}", address_,
                       outcome_ == Outcome::Pending ? "it does not answer" : reason_);
}

void UsbmuxdProbe::close() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

} // namespace keldo
