#include "platform/RunLoop.h"

#include <mutex>

namespace keldo {

namespace {

std::mutex& mainMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<RunLoop>& mainLoop() {
    static std::shared_ptr<RunLoop> loop;
    return loop;
}

thread_local std::shared_ptr<RunLoop> currentLoop;

} // namespace

std::shared_ptr<RunLoop> RunLoop::main() {
    std::lock_guard lock(mainMutex());
    return mainLoop();
}

void RunLoop::setMain(std::shared_ptr<RunLoop> loop) {
    std::lock_guard lock(mainMutex());
    mainLoop() = std::move(loop);
}

std::shared_ptr<RunLoop> RunLoop::current() { return currentLoop ? currentLoop : main(); }

void RunLoop::setCurrent(std::shared_ptr<RunLoop> loop) { currentLoop = std::move(loop); }

} // namespace keldo
