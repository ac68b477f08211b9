#pragma once

namespace keldo {

// Ctrl-C (SIGINT) and SIGTERM as a flag that long operations look at between steps. The handler
// also runs the one installed before it (the application's, which ends the main loop once the
// loop runs again), so a command that waits in the loop ends at once and one that is busy ends
// at its next step. A second signal while the first is pending ends the process at once.
class Interrupt {
public:
    // Takes over both signals; call once the application has installed its own handlers.
    static void install();
    static bool requested();
    // Written to standard error when the first signal arrives (a constant text, or null): what
    // the busy command is going to do about it.
    static void setNotice(const char* text);

    // Tests: forget a signal that came.
    static void reset();
};

} // namespace keldo
