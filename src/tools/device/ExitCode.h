#pragma once

namespace keldo {

// What keldo-device's exit status tells a script.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitDeviceError = 1,  // the device, the connection or the library refused
    kExitUsage = 2,        // the command line is wrong
    kExitPartial = 3,      // a tree was transferred in part before a failure
    kExitInterrupted = 130,
};

} // namespace keldo
