#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class AMDevice;
class Console;

// The commands on attached devices themselves: list, info, pairing and the lines of watch.
class DeviceCommands {
public:
    DeviceCommands(Console& console, bool json);

    // One line (or JSON object) per device: udid, name, version, product type, device class,
    // connection and pairing. Product type and class are read from each device.
    int list(const std::vector<std::shared_ptr<AMDevice>>& devices);
    // All values of a domain (none: the default one), or the one value of `key`.
    int info(AMDevice& device, const std::optional<std::string>& domain, const std::optional<std::string>& key);
    // pair, unpair or validate (the command's name): the device's answer in words. Pairing waits
    // for its user to trust the computer on the device, which a first pair asks for.
    int pairing(AMDevice& device, const std::string& command);
    // watch: a device came or went (flushed at once, for whoever reads the pipe). A detach tells
    // the values known from the device's attach.
    void event(AMDevice& device, bool attached);

    // "usb" or "network", as interface type 2 is the wireless connection.
    static const char* connectionOf(const AMDevice& device);
    // Why a device with this computer's pair record refuses a session, in words, saying how to
    // mend it when the device no longer trusts this computer; none when a session starts. For a
    // failure whose own text was lost (reading a value ends its connection, which clears it).
    static std::optional<std::string> sessionRefusal(AMDevice& device);

private:
    Console& console_;
    bool json_;
    // The version of each attached handle; the monitor keeps a handle until its detach is told.
    std::map<const AMDevice*, std::optional<std::string>> versions_;
};

} // namespace keldo
