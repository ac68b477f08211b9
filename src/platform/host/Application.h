#pragma once

#include "platform/SystemLog.h"

#include <memory>

typedef struct _GMainLoop GMainLoop;

namespace keldo {

class ApplicationDelegate;
class GLibRunLoop;

// The application object: the GLib main loop on the main thread, whose tasks are the main queue.
// It tells its delegate once that launching has finished; SIGTERM or SIGINT end it the way an
// application terminates, the delegate and the will-terminate notification first.
class Application {
public:
    // Call on the main thread; makes the main queue (RunLoop::main()) a GLib one.
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
    // Runs the main loop until the application terminates. Returns 0.
    int run();
    // Ends the loop after the delegate and the observers of will-terminate have heard of it.
    void terminate();

    std::shared_ptr<GLibRunLoop> mainRunLoop() const { return loop_; }

private:
    std::shared_ptr<ApplicationDelegate> delegate_;
    std::shared_ptr<GLibRunLoop> loop_;
    GMainLoop* mainLoop_ = nullptr;
    bool terminated_ = false;
    SystemLog::Sink previousLogSink_;
};

} // namespace keldo
