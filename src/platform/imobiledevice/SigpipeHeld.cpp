#include "platform/imobiledevice/SigpipeHeld.h"

#include <pthread.h>
#include <time.h>

namespace keldo {

SigpipeHeld::SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous);
    // Already held by an outer guard (or the thread): that one cleans up.
    owner_ = !sigismember(&previous, SIGPIPE);
}

SigpipeHeld::~SigpipeHeld() {
    if (!owner_) return;
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
        const timespec now{};
        sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_UNBLOCK, &pipe_, nullptr);
}

} // namespace keldo
