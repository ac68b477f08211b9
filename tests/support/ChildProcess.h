#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

namespace keldo::testing {

// Runs `body` in a child process until it calls `tell` (or returns, which tells), then ends the
// child with `signal` and waits for it. False when the child never told, within ten seconds.
// The child holds at the point where it told, so the signal finds it mid-way.
inline bool endChildOnceTold(const std::function<void(const std::function<void()>& tell)>& body, int signal) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::close(ready[0]);
        auto tell = [fd = ready[1]] {
            (void)!::write(fd, "t", 1);
            for (;;) ::pause();
        };
        body(tell);
        tell();
    }
    ::close(ready[1]);
    pollfd told{ready[0], POLLIN, 0};
    char byte = 0;
    bool wasTold = ::poll(&told, 1, 10'000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return wasTold;
}

} // namespace keldo::testing
