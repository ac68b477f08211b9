#pragma once

#include <functional>
#include <string>
#include <vector>

namespace keldo {

// The desktop's applications: which run, what is on disk, and starting one.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Answers whether an application with this bundle identifier runs. The question may go to
    // another process, so the answer comes on the calling thread's loop, once, possibly before
    // this returns; the loop never waits for it.
    virtual void isApplicationRunning(const std::string& bundleIdentifier, std::function<void(bool)> answer) = 0;
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // Starts the application bundle at `path`, detached, with exactly `arguments`; false when it could not.
    virtual bool launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) = 0;
};

} // namespace keldo
