#pragma once

#include "platform/simulated/VirtualRunLoop.h"
#include "platform/simulated/SimulatedBackend.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace keldo::testing {

// The fixture every device-level test starts from: a fresh simulated backend, a virtual-time run
// loop as main and current loop, and the log captured. Afterwards the previous backend returns.
class SimulatedPlatform : public ::testing::Test {
protected:
    SimulatedPlatform() : sim(SimulatedBackend::installNew()), loop(VirtualRunLoop::installNew()) {}
    ~SimulatedPlatform() override {
        RunLoop::setMain(nullptr);
        RunLoop::setCurrent(nullptr);
        Backend::install(nullptr);
    }

    am_device addPhone(std::optional<std::string> name = "Anna's iPhone", std::optional<std::string> version = "6.1.3",
                       std::int32_t interfaceType = 1) {
        return sim->addDevice(SimulatedDeviceInfo::iPhone("udid-" + std::to_string(++phones_), std::move(name),
                                                          std::move(version), interfaceType));
    }

    std::shared_ptr<SimulatedBackend> sim;
    std::shared_ptr<VirtualRunLoop> loop;
    LogCapture log;

private:
    int phones_ = 0;
};

} // namespace keldo::testing
