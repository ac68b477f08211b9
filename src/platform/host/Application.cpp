#include "platform/host/Application.h"

#include "platform/ApplicationDelegate.h"
#include "platform/host/GLibRunLoop.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "platform/TerminalText.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace keldo {

namespace {

gboolean onTerminationSignal(gpointer data) {
    static_cast<Application*>(data)->terminate();
    return G_SOURCE_CONTINUE;
}

// Counted main-loop dispatches, printed at the end when KELDO_COUNT_DISPATCHES is set: the agent
// idles without waking, and this is how that is measured.
bool countingDispatches() {
    const char* value = std::getenv("KELDO_COUNT_DISPATCHES");
    return value && *value && *value != '0';
}

// Through GLib's structured log: the user journal when the agent runs as a user service, one plain
// line on standard error in a terminal or CI. The journal keeps a line's bytes as they came (its
// readers escape what they show); a plain line is escaped like every other text for a terminal,
// since it may carry a device's name.
void writeToGLibLog(const std::string& line) {
    static const bool toJournal = g_log_writer_is_journald(fileno(stderr));
    const std::string text = toJournal ? line : TerminalText::escaped(line);
    g_log_structured("keldo-agent", G_LOG_LEVEL_MESSAGE, "MESSAGE", "%s", text.c_str());
}

} // namespace

Application::Application() : loop_(GLibRunLoop::forCurrentThread()) {
    previousLogSink_ = SystemLog::setSink(writeToGLibLog);
    mainLoop_ = g_main_loop_new(nullptr, FALSE);
    RunLoop::setMain(loop_);
    RunLoop::setCurrent(loop_);
}

Application::~Application() {
    if (RunLoop::main() == loop_) RunLoop::setMain(nullptr);
    RunLoop::setCurrent(nullptr);
    SystemLog::setSink(previousLogSink_);
    g_main_loop_unref(mainLoop_);
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

int Application::run() {
    const guint term = g_unix_signal_add(SIGTERM, onTerminationSignal, this);
    const guint interrupt = g_unix_signal_add(SIGINT, onTerminationSignal, this);
    loop_->post([this] {
        if (delegate_) delegate_->applicationDidFinishLaunching();
    });
    g_main_loop_run(mainLoop_);
    g_source_remove(term);
    g_source_remove(interrupt);
    if (countingDispatches()) logLine("main loop dispatches: {}", loop_->dispatches());
    return 0;
}

void Application::terminate() {
    if (terminated_) return;
    terminated_ = true;
    if (delegate_) delegate_->applicationWillTerminate();
    NotificationCenter::defaultCenter().post(kApplicationWillTerminateNotification, this);
    g_main_loop_quit(mainLoop_);
}

} // namespace keldo
