#pragma once

#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "device/AMDevice.h"
#include "support/DeviceFixture.h"

#include <algorithm>

namespace keldo::testing {

// A device handle with an open AFC connection to "com.apple.afc" and that service's file system;
// the calls made while setting it up are cleared.
class AfcFixture : public DeviceFixture {
protected:
    explicit AfcFixture(std::int32_t interfaceType = 1) {
        phone = addPhone("Anna's iPhone", "7.1", interfaceType);
        device = makeHandle(phone);
        afc = device->directoryForName("com.apple.afc");
        files = &sim->fileSystem(phone);
        sim->clearCalls();
        log.clear();
    }

    // The calls made so far, each as "Name(arguments)".
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        for (const auto& call : sim->calls()) out.push_back(call.toString());
        return out;
    }
    int count(const std::string& name) const {
        auto names = sim->callNames();
        return static_cast<int>(std::count(names.begin(), names.end(), name));
    }

    am_device phone = nullptr;
    std::shared_ptr<AMDevice> device;
    std::shared_ptr<AFCDirectoryAccess> afc;
    SimulatedFileSystem* files = nullptr;
};

} // namespace keldo::testing
