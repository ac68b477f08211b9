#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace keldo {

// What the command line asks for, once it has been checked.
struct Invocation {
    std::string command;
    std::optional<std::string> udid;
    // The app whose folders the file commands work on (--app, or --container for its whole
    // container) instead of the media area.
    std::optional<std::string> app;
    bool container = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    double waitSeconds = 0;
    // AFC connections that a push or pull moves files over at once (--connections).
    unsigned connections = kDefaultConnections;
    static constexpr unsigned kDefaultConnections = 8;
    static constexpr unsigned kMostConnections = 16;
    // Help was asked for: the tool's (command empty) or the command's.
    bool help = false;
    bool version = false;
    // The command's own switches ("-l", "-s", "-r") and valued options ("--domain" -> "Power").
    std::set<std::string> flags;
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;

    bool has(const std::string& flag) const { return flags.count(flag) != 0; }
    std::optional<std::string> option(const std::string& name) const;
};

// keldo-device's commands and options: parsing, checking and the help texts. A small parser of
// its own: global options anywhere, each command's own options after it, "--opt=value" or
// "--opt value", and "--" before operands that begin with "-".
class CommandLine {
public:
    // The invocation, or none with `error` holding one line that says what is wrong.
    static std::optional<Invocation> parse(const std::vector<std::string>& arguments, std::string& error);

    // The tool's help, and a command's (none for a command that does not exist).
    static std::string usage();
    static std::optional<std::string> helpFor(const std::string& command);
    static std::string version();

    // How a command reaches the device: not at all beyond the monitor (list, watch), through the
    // device handle (info, pair, unpair, validate), or through the AFC connection (the file commands).
    enum class Reach { Monitor, Device, Afc };
    static Reach reachOf(const std::string& command);
};

} // namespace keldo
