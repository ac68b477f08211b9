#pragma once

#include <string>
#include <vector>

namespace keldo {

// The desktop's applications: which run, what is on disk, and starting one.
class Workspace {
public:
    virtual ~Workspace() = default;

    virtual bool isApplicationRunning(const std::string& bundleIdentifier) = 0;
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // Starts the application bundle at `path`, detached, with exactly `arguments`; false when it could not.
    virtual bool launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) = 0;
};

} // namespace keldo
