#include "tools/device/Interrupt.h"

#include "platform/TemporaryFiles.h"
#include "tools/device/Console.h"
#include "tools/device/Watchdog.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace keldo {

namespace {

std::atomic<int> signalsSeen{0};
// The process's watchdog: made once and never destroyed, so that its thread outlives any exit path.
std::atomic<Watchdog*> watchdog{nullptr};
struct sigaction previousInt {};
struct sigaction previousTerm {};

void chain(const struct sigaction& previous, int signal, siginfo_t* info, void* context) {
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler) {
        previous.sa_handler(signal);
    }
}

// Async-signal-safe only: atomics, write (through the watchdog), unlink (through TemporaryFiles),
// signal, raise.
void onSignal(int signal, siginfo_t* info, void* context) {
    const bool first = signalsSeen.fetch_add(1) == 0;
    if (Watchdog* dog = watchdog.load()) {
        dog->trigger();
    } else if (!first) {
        // A download's named temporary (where the file system refuses unnamed files) goes first.
        TemporaryFiles::removeAll();
        std::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    if (first) chain(signal == SIGINT ? previousInt : previousTerm, signal, info, context);
}

[[noreturn]] void endProcess(int exitCode) {
    TemporaryFiles::removeAll();
    ::_exit(exitCode);
}

} // namespace

void Interrupt::install() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    auto* dog = new Watchdog(STDERR_FILENO, Console::errorLine("interrupted"),
                             std::chrono::milliseconds(kGraceMilliseconds), endProcess);
    if (dog->running()) {
        watchdog.store(dog);
    } else {
        delete dog;  // without it a second signal still ends the process at once
    }
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

bool Interrupt::requested() { return signalsSeen.load() > 0; }

namespace {

// The report as the watchdog writes it. A bar is drawn with no line end: the report goes on a
// line of its own.
std::string reportLine(const std::string& line, bool afterBar) {
    return (afterBar ? "\n" : "") + Console::errorLine(line.empty() ? "interrupted" : line);
}

} // namespace

void Interrupt::setReport(const std::string& line, bool afterBar) {
    if (Watchdog* dog = watchdog.load()) dog->setReport(reportLine(line, afterBar));
}

bool Interrupt::stepThenReport(const std::function<bool()>& step, const std::string& line, bool afterBar) {
    Watchdog* dog = watchdog.load();
    return dog ? dog->stepThenReport(step, reportLine(line, afterBar)) : step();
}

bool Interrupt::finishing(int exitCode) {
    Watchdog* dog = watchdog.load();
    return !dog || dog->finishing(exitCode);
}

void Interrupt::reset() { signalsSeen.store(0); }

} // namespace keldo
