#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <string>
#include <vector>

namespace keldo {

// Whether usbmuxd can be reached at all, to tell "no device attached" from "nobody to ask": a
// connection to the address libusbmuxd would use, made without waiting. The constructor starts
// it; outcome() looks how far it got. A UNIX socket answers at once; a TCP address may take a
// while, and is Pending until it does.
class UsbmuxdProbe {
public:
    // The address as libusbmuxd picks it, in USBMUXD_SOCKET_ADDRESS's own form: that variable
    // when it holds "UNIX:/path" or "host:port" (IPv6 hosts in brackets), else the system's
    // socket ("UNIX:/var/run/usbmuxd"), as libusbmuxd falls back to it.
    static std::string address();

    // One address to connect to, of those that address() names.
    struct Candidate {
        int family;
        sockaddr_storage address;
        socklen_t length;
    };
    // The addresses that `address` resolves to; none, with the reason, when it resolves to none.
    static std::vector<Candidate> candidatesOf(const std::string& address, std::string& reason);

    UsbmuxdProbe();
    ~UsbmuxdProbe();
    UsbmuxdProbe(const UsbmuxdProbe&) = delete;
    UsbmuxdProbe& operator=(const UsbmuxdProbe&) = delete;

    enum class Outcome { Pending, Reached, Unreachable };
    Outcome outcome();
    // One line for the user: why usbmuxd can't be reached (or, while Pending, that it does not
    // answer), naming the address tried.
    std::string failure() const;

private:
    // Starts connecting to the next address (a name may resolve to several), until one answers
    // at once, one is under way, or none is left.
    void connectNext();
    void close();

    std::string address_;
    std::vector<Candidate> candidates_;
    std::size_t next_ = 0;
    // The connection under way, or -1.
    int socket_ = -1;
    Outcome outcome_ = Outcome::Pending;
    std::string reason_;
};

} // namespace keldo
