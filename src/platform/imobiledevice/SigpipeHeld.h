#pragma once

#include <signal.h>

namespace keldo {

// Holds SIGPIPE back on this thread while the library may write to a device, and drops one that
// the writes raised: OpenSSL writes to a TLS connection without MSG_NOSIGNAL, and a device that
// has gone (or whose connection was cut) must fail the write, not end the process. The process's
// own handling of SIGPIPE (a pipe on its standard output) is left as it is.
class SigpipeHeld {
public:
    SigpipeHeld();
    ~SigpipeHeld();
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

private:
    sigset_t pipe_{};
    bool owner_ = false;
};

} // namespace keldo
