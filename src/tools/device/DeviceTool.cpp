#include "tools/device/DeviceTool.h"

#include "afc/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "monitor/DeviceMonitor.h"
#include "platform/RunLoop.h"
#include "platform/SystemLog.h"
#include "tools/device/AppCommands.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/FileCommands.h"
#include "tools/device/Interrupt.h"
#include "tools/device/StatusText.h"
#include "tools/device/Transfer.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

namespace keldo {

namespace {

bool listedAs(const AMDevice& device, const AMDeviceListEntry& entry) {
    return device.udid() == entry.udid && device.interfaceType() == entry.interfaceType;
}

} // namespace

DeviceTool::DeviceTool(Invocation invocation, Console& console, std::function<void()> finish, SourceProbe probe)
    : invocation_(std::move(invocation)), console_(console), finish_(std::move(finish)),
      deviceCommands_(console, invocation_.json), probe_(std::move(probe)) {}

void DeviceTool::applicationDidFinishLaunching() {
    // The application's own handlers are in place now; ours run them too.
    Interrupt::install();
    start();
}

void DeviceTool::applicationWillTerminate() {
    if (finished_) return;
    if (invocation_.command == "watch") {
        end(kExitSuccess);
        return;
    }
    if (Interrupt::finishing(kExitInterrupted)) console_.error("interrupted");
    end(kExitInterrupted);
}

void DeviceTool::start() {
    DeviceMonitor::singleton()->setListener(shared_from_this());
    if (invocation_.command == "watch") return;
    waiting_ = invocation_.waitSeconds > 0;
    if (waiting_) {
        std::weak_ptr<DeviceTool> weak = weak_from_this();
        deadlineTimer_ = RunLoop::current()->scheduleTimer(invocation_.waitSeconds, [weak] {
            if (auto self = weak.lock()) self->deadlinePassed();
        });
    }
    std::vector<AMDeviceListEntry> attached;
    if (AMDCreateDeviceList(attached) == 0) {
        std::vector<AMDeviceListEntry> wanted;
        for (auto& entry : attached) {
            if (!invocation_.udid || entry.udid == *invocation_.udid) wanted.push_back(std::move(entry));
        }
        listed_ = std::move(wanted);
    }
    // Those listed may all have been heard of already; else the wait for them has its bound.
    scheduleSettle(listed_ && heardAllListed() ? 0 : kFirstEvents);
}

void DeviceTool::release() {
    if (settleTimer_) settleTimer_->invalidate();
    if (deadlineTimer_) deadlineTimer_->invalidate();
    probing_ = nullptr;
    afc_.reset();
    device_.reset();
}

void DeviceTool::deviceConnected(const std::shared_ptr<AMDevice>& device) {
    if (finished_) return;
    if (invocation_.command == "watch") {
        if (wanted(*device)) deviceCommands_.event(*device, true);
        return;
    }
    if (running_) return;
    if (listed_) {
        // Still waiting for one listed: its attach (or the bound) settles.
        if (!heardAllListed()) return;
        const bool listedOne = std::any_of(listed_->begin(), listed_->end(),
                                           [&](const AMDeviceListEntry& entry) { return listedAs(*device, entry); });
        if (listedOne) {
            scheduleSettle(0);
            return;
        }
    }
    // Any device heard of means more may follow: the one asked for can come after others, and
    // reading each one's identity takes the main loop a while on a busy machine.
    scheduleSettle(kQuiet);
}

bool DeviceTool::heardAllListed() const {
    if (!listed_) return true;
    const auto& heard = DeviceMonitor::singleton()->devices();
    return std::all_of(listed_->begin(), listed_->end(), [&](const AMDeviceListEntry& entry) {
        return std::any_of(heard.begin(), heard.end(), [&](const auto& device) { return listedAs(*device, entry); });
    });
}

void DeviceTool::deviceDisconnected(const std::shared_ptr<AMDevice>& device) {
    if (finished_ || !wanted(*device)) return;
    if (invocation_.command == "watch") deviceCommands_.event(*device, false);
}

void DeviceTool::scheduleSettle(double seconds) {
    if (settleTimer_) settleTimer_->invalidate();
    std::weak_ptr<DeviceTool> weak = weak_from_this();
    settleTimer_ = RunLoop::current()->scheduleTimer(seconds, [weak] {
        if (auto self = weak.lock()) self->settled();
    });
}

void DeviceTool::deadlinePassed() {
    waiting_ = false;
    if (!settleTimer_ || !settleTimer_->isValid()) settled();
}

bool DeviceTool::wanted(const AMDevice& device) const {
    return !invocation_.udid || device.udid() == invocation_.udid;
}

std::vector<std::shared_ptr<AMDevice>> DeviceTool::candidates() const {
    std::vector<std::shared_ptr<AMDevice>> found;
    for (const auto& device : DeviceMonitor::singleton()->devices()) {
        if (wanted(*device)) found.push_back(device);
    }
    return found;
}

void DeviceTool::settled() {
    if (finished_ || running_) return;
    auto devices = candidates();
    // --wait: nothing wanted is here yet; the next attach settles again.
    if (devices.empty() && waiting_) return;
    // A source that listed its devices has answered already.
    if (devices.empty() && !listed_ && !sourceReachable()) return;
    running_ = true;
    if (deadlineTimer_) deadlineTimer_->invalidate();

    // list names what is there, none included; but a device asked for by udid or waited for
    // that is not there is a failure, as for every command.
    if (devices.empty() && (invocation_.command != "list" || invocation_.udid || invocation_.waitSeconds > 0)) {
        std::string what = invocation_.udid ? fmt::format("no device with udid {} is attached", *invocation_.udid)
                                            : std::string("no device attached");
        // A --wait that ran out says so, and how long it was.
        if (invocation_.waitSeconds > 0) what += fmt::format(" (waited {} s)", invocation_.waitSeconds);
        console_.error(what);
        end(kExitDeviceError);
        return;
    }
    if (invocation_.command == "list") {
        end(deviceCommands_.list(devices));
        return;
    }
    std::set<std::string> udids;
    for (const auto& d : devices) udids.insert(d->udid().value_or(""));
    if (udids.size() > 1) {
        // Which device is meant is for the command line to say: a usage error.
        console_.error(fmt::format("{} devices are attached; choose one with -u UDID (see keldo-device list)",
                                   udids.size()));
        end(kExitUsage);
        return;
    }
    // The same device over USB and the network: USB is the faster and the surer way.
    auto usb = std::find_if(devices.begin(), devices.end(), [](const auto& d) { return d->interfaceType() != 2; });
    run(usb != devices.end() ? *usb : devices.front());
}

bool DeviceTool::sourceReachable() {
    if (!probe_) return true;
    if (!probing_) {
        probing_ = probe_();
        probeLooks_ = 0;
    }
    const SourceState state = probing_();
    if (state.known && !state.failure) return true;
    if (state.known || ++probeLooks_ >= kProbeLooks) {
        console_.error(state.failure.value_or("the source of device events does not answer"));
        end(kExitDeviceError);
        return false;
    }
    scheduleSettle(kProbeInterval);
    return false;
}

void DeviceTool::run(const std::shared_ptr<AMDevice>& device) {
    device_ = device;
    logLine("using {} \"{}\" over {}", device->udid().value_or("-"), device->deviceName().value_or(""),
            DeviceCommands::connectionOf(*device));
    const auto reach = CommandLine::reachOf(invocation_.command);
    if (reach == CommandLine::Reach::Device) {
        if (invocation_.command == "apps") {
            end(AppCommands(console_, invocation_.json).apps(*device, invocation_.has("-a")));
            return;
        }
        end(invocation_.command == "info"
                ? deviceCommands_.info(*device, invocation_.option("--domain"), invocation_.option("--key"))
                : deviceCommands_.pairing(*device, invocation_.command));
        return;
    }
    end(runOnAfc(device));
}

int DeviceTool::runOnAfc(const std::shared_ptr<AMDevice>& device) {
    if (invocation_.app) return runOnApp(device, *invocation_.app);
    afc_ = device->mediaDirectory();
    if (!afc_) {
        std::string why = StatusText::explain(device->lasterror().value_or("the service could not be started"));
        if (!device->isPair()) {
            why = "the device is not paired with this computer";
        } else if (auto refusal = DeviceCommands::sessionRefusal(*device)) {
            why = std::move(*refusal);
        }
        console_.error(fmt::format("can't open the file system of {}: {}", device->udid().value_or("the device"), why));
        return kExitDeviceError;
    }
    return runCommand();
}

int DeviceTool::runOnApp(const std::shared_ptr<AMDevice>& device, const std::string& app) {
    afc_ = invocation_.container ? device->containerForApp(app) : device->documentsForApp(app);
    if (!afc_) {
        const std::string text = device->lasterror().value_or("house_arrest refused");
        // The device's one word for "no such app here", whichever of the two it is.
        std::string why = StatusText::explain(text);
        if (text == "InstallationLookupFailed") {
            why = fmt::format("no app {} {} is installed ({})", app,
                              invocation_.container ? "whose container the device hands out" : "that shares its documents",
                              text);
        }
        console_.error(fmt::format("can't open the {} of {} on {}: {}", invocation_.container ? "container" : "Documents",
                                   app, device->udid().value_or("the device"), why));
        return kExitDeviceError;
    }
    return runCommand();
}

int DeviceTool::runCommand() {
    const auto& operands = invocation_.operands;
    if (invocation_.command == "push" || invocation_.command == "pull") {
        Transfer::Options options;
        options.force = invocation_.has("-f");
        options.update = invocation_.has("--update");
        options.times = !invocation_.has("--no-times");
        options.progress = !invocation_.quiet;
        options.connections = invocation_.connections;
        // Further connections to the same file system, as the first one was opened.
        options.connect = [this]() -> std::shared_ptr<AFCDirectoryAccess> {
            if (!invocation_.app) return device_->directoryForName("com.apple.afc");
            return invocation_.container ? device_->containerForApp(*invocation_.app)
                                         : device_->documentsForApp(*invocation_.app);
        };
        Transfer transfer(console_, *afc_, options);
        const std::vector<std::string> sources(operands.begin(), operands.end() - 1);
        if (invocation_.command == "pull") return transfer.pull(sources, operands.back());
        return transfer.push(sources, operands.back());
    }
    return FileCommands(console_, *afc_, invocation_.json).run(invocation_);
}

void DeviceTool::end(int code) {
    if (finished_) return;
    finished_ = true;
    exitCode_ = code;
    // Letting go of the device may wait on it; past a signal's grace, the watchdog ends the
    // process with this code.
    (void)Interrupt::finishing(code);
    release();
    if (finish_) finish_();
}

} // namespace keldo
