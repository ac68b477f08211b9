#pragma once

#include <functional>
#include <string>

namespace keldo {

// Ctrl-C (SIGINT) and SIGTERM as a flag that long operations look at between steps, and a promise:
// the process ends within kGraceMilliseconds of the first signal, whatever the device does.
//
// The handler also runs the one installed before it (the application's, which ends the main loop
// once the loop runs again), so a command that waits in the loop ends at once and one that is busy
// at its next step. A command stuck in a device call that does not return is ended by a watchdog
// when the grace period is over: it writes the command's report line (what the command leaves
// behind, see setReport), removes the process's temporary files and exits with 130. A second
// signal ends the process the same way at once.
//
// SIGXFSZ (a file-size limit, ulimit -f) is ignored: the write that passes the limit then fails
// with "File too large", and the command reports it and cleans up as after any failed write,
// instead of being killed with a temporary file left behind.
class Interrupt {
public:
    // Takes over the signals; call once the application has installed its own handlers.
    static void install();
    static bool requested();

    // What ending the process now would leave, as the one line to say then (without the program's
    // name), e.g. "push: interrupted; /Books/.a.keldo-1 may be left on the device"; empty for
    // "interrupted". `afterBar` when a progress bar is on the terminal's current line.
    static void setReport(const std::string& line, bool afterBar = false);
    // Takes `step`, a quick local one that makes the report untrue, and then `line` as the report,
    // so that the process is not ended between the two saying what is no longer so. The step's
    // result; false (errno EINTR) without taking it when the process is being ended already.
    [[nodiscard]] static bool stepThenReport(const std::function<bool()>& step, const std::string& line,
                                             bool afterBar = false);
    // The command has its result and ends on its own with `exitCode`, saying what it has to say
    // itself. False when the watchdog has already written the report: then say nothing more.
    [[nodiscard]] static bool finishing(int exitCode);

    static constexpr int kGraceMilliseconds = 500;

    // Tests: forget a signal that came.
    static void reset();
};

} // namespace keldo
