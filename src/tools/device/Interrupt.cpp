#include "tools/device/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace keldo {

namespace {

std::atomic<int> signalsSeen{0};
std::atomic<const char*> notice{nullptr};
struct sigaction previousInt {};
struct sigaction previousTerm {};

void chain(const struct sigaction& previous, int signal, siginfo_t* info, void* context) {
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler) {
        previous.sa_handler(signal);
    }
}

// Async-signal-safe only: atomics, write, signal, raise.
void onSignal(int signal, siginfo_t* info, void* context) {
    if (signalsSeen.fetch_add(1) >= 1) {
        std::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    if (const char* text = notice.load()) {
        ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
        (void)ignored;
    }
    chain(signal == SIGINT ? previousInt : previousTerm, signal, info, context);
}

} // namespace

void Interrupt::install() {
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
}

bool Interrupt::requested() { return signalsSeen.load() > 0; }

void Interrupt::setNotice(const char* text) { notice.store(text); }

void Interrupt::reset() { signalsSeen.store(0); }

} // namespace keldo
