#pragma once

namespace keldo {

// What the application tells its delegate, on the main thread.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;

    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
};

} // namespace keldo
