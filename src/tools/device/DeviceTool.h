#pragma once

#include "monitor/DeviceListener.h"
#include "platform/ApplicationDelegate.h"
#include "platform/mobiledevice/MobileDevice.h"
#include "tools/device/CommandLine.h"
#include "tools/device/DeviceCommands.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;
class RunLoopTimer;

// keldo-device's run: it listens to the device monitor like any client of the library, waits
// until the attached devices have been heard of, picks the device, runs the command and ends the
// main loop. watch instead prints events until it is interrupted.
//
// Devices are heard of one at a time on the main loop, and the events never say that they have
// told of all. So at the start the platform's list of the devices attached now gives the whole
// set, and the run goes on as soon as each listed device that it wants (all of them, or the one
// -u names) has been heard of, with no wait beyond that; kFirstEvents bounds the wait for one
// that never comes (gone meanwhile, or unreadable). Without a list (the source can't be asked)
// "all of them" is a matter of quiet: kFirstEvents for the first answer, then kQuiet after each
// attach. A device that attaches after the list, as --wait waits for, also gets kQuiet: more may
// follow. --wait keeps waiting for a wanted device up to its number of seconds. When none is
// found and there was no list, the source of device events is asked whether it can be reached
// at all, so that "no device attached" is never said for "nobody to ask".
class DeviceTool : public ApplicationDelegate,
                   public DeviceListener,
                   public std::enable_shared_from_this<DeviceTool> {
public:
    // How far a probe of the device events' source has got: not known yet (`failure` then says
    // what to tell if it never is), reachable, or not (`failure` says why, naming its address).
    struct SourceState {
        bool known = false;
        std::optional<std::string> failure;
    };
    // Starts a probe without waiting and gives the way to look at it, again without waiting.
    using SourceProbe = std::function<std::function<SourceState()>()>;

    // `finish` ends the main loop; it is called once, after the exit code is known. Without a
    // probe the source counts as reachable.
    DeviceTool(Invocation invocation, Console& console, std::function<void()> finish, SourceProbe probe = {});

    // Subscribes to device events (through the monitor) and starts waiting.
    void start();
    int exitCode() const { return exitCode_; }
    bool finished() const { return finished_; }
    // Lets go of the device and its AFC connection (before the platform goes).
    void release();

    // Application: launching starts; termination (Ctrl-C, SIGTERM) ends watch with success and
    // anything still waiting or working as interrupted.
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    // Monitor
    bool providesDeviceConnected() const override { return true; }
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override;
    bool providesDeviceDisconnected() const override { return true; }
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override;

    // Without a list, the first attach ends this wait early, so it costs time only when no device
    // is there; a loaded machine can take half a second to start the event thread and hear usbmuxd.
    static constexpr double kFirstEvents = 1.0;
    static constexpr double kQuiet = 0.3;
    // A probe is looked at this often, this many times, before its source counts as silent.
    static constexpr double kProbeInterval = 0.05;
    static constexpr int kProbeLooks = 60;

private:
    void scheduleSettle(double seconds);
    void settled();
    void deadlinePassed();
    // True when the source of events can be reached; otherwise the run ends with its failure, or
    // comes back here once the probe knows more.
    bool sourceReachable();
    bool wanted(const AMDevice& device) const;
    // True once every wanted device of the start's list has been heard of (also without a list).
    bool heardAllListed() const;
    std::vector<std::shared_ptr<AMDevice>> candidates() const;
    void run(const std::shared_ptr<AMDevice>& device);
    // The file commands on the media area, or (--app, --container) on an app's folders.
    int runOnAfc(const std::shared_ptr<AMDevice>& device);
    int runOnApp(const std::shared_ptr<AMDevice>& device, const std::string& app);
    int runCommand();
    void end(int code);

    Invocation invocation_;
    Console& console_;
    std::function<void()> finish_;
    DeviceCommands deviceCommands_;
    std::shared_ptr<RunLoopTimer> settleTimer_;
    std::shared_ptr<RunLoopTimer> deadlineTimer_;
    SourceProbe probe_;
    std::function<SourceState()> probing_;
    // The wanted devices that the platform listed at the start; none when it could not list them.
    std::optional<std::vector<AMDeviceListEntry>> listed_;
    int probeLooks_ = 0;
    bool waiting_ = false;
    bool running_ = false;
    bool finished_ = false;
    int exitCode_ = 0;
    std::shared_ptr<AMDevice> device_;
    std::shared_ptr<AFCDirectoryAccess> afc_;
};

} // namespace keldo
