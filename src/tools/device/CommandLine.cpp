#include "tools/device/CommandLine.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace keldo {

namespace {

struct Command {
    const char* name;
    const char* synopsis;
    const char* summary;
    const char* details;
    std::vector<std::string> flags;
    std::vector<std::string> valued;
    int minOperands;
    int maxOperands;  // -1: any number
    CommandLine::Reach reach;
};

const std::vector<Command>& commands() {
    using R = CommandLine::Reach;
    static const std::vector<Command> table = {
        {"list", "list", "the attached devices",
         "One line per attached device: udid, name, iOS version, product type, device class,\n"
         "connection (usb or network) and whether this computer is paired with it. Nothing (or\n"
         "[] with --json) when none is attached; an error when usbmuxd can't be reached.\n",
         {}, {}, 0, 0, R::Monitor},
        {"info", "info [--domain DOMAIN] [--key KEY]", "the device's identity values",
         "All values of the device's lockdown domain (or of DOMAIN), or the one value KEY.\n",
         {}, {"--domain", "--key"}, 0, 0, R::Device},
        {"watch", "watch", "attach and detach events as they happen",
         "Prints a line for each device that is attached or detached (the attached ones first),\n"
         "until Ctrl-C.\n",
         {}, {}, 0, 0, R::Monitor},
        {"devinfo", "devinfo", "the AFC file system's information",
         "Model, total and free bytes, block size: what the device's AFC service reports.\n",
         {}, {}, 0, 0, R::Afc},
        {"ls", "ls [-l] [PATH]", "list a directory",
         "The names in PATH (default /), sorted. -l adds type, size and modification time, and\n"
         "the target of a symbolic link.\n",
         {"-l"}, {}, 0, 1, R::Afc},
        {"tree", "tree [PATH]", "list a whole tree",
         "Every path under PATH (default /), sorted; directories end in \"/\". A symbolic link\n"
         "is shown as LINK -> TARGET (with --json as {\"path\": LINK, \"target\": TARGET}) and is\n"
         "not followed. What can't be listed is named on standard error and the rest is still\n"
         "shown, with exit status 3.\n",
         {}, {}, 0, 1, R::Afc},
        {"stat", "stat PATH...", "a path's file information", "Every key that the device reports for PATH.\n",
         {}, {}, 1, -1, R::Afc},
        {"mkdir", "mkdir PATH...", "make directories", "", {}, {}, 1, -1, R::Afc},
        {"rm", "rm [-r] [--no-preserve-root] PATH...", "remove files, links and empty directories",
         "-r removes directories with everything in them, deepest first; a symbolic link is\n"
         "removed, never followed. A PATH that names the root of the file system (/, \"\", /.,\n"
         "/DCIM/.. and the like) is refused and nothing is removed, unless --no-preserve-root\n"
         "is given: then everything in the root goes.\n",
         {"-r", "--no-preserve-root"}, {}, 1, -1, R::Afc},
        {"mv", "mv OLD NEW", "rename a path", "Neither OLD nor NEW may be the root of the file system.\n",
         {}, {}, 2, 2, R::Afc},
        {"ln", "ln [-s] TARGET LINK", "make a hard link (or, with -s, a symbolic one)",
         "Makes LINK pointing at TARGET. Devices since iOS 10 refuse to make links.\n", {"-s"}, {}, 2, 2, R::Afc},
        {"touch", "touch [--date DATE] PATH...", "set modification times",
         "Sets the modification time of each PATH to now, or to DATE, making an empty file\n"
         "where none is. DATE is YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (local time, or UTC with a\n"
         "final Z, or with an offset like +02:00), or @SECONDS since 1970.\n",
         {}, {"--date"}, 1, -1, R::Afc},
        {"push", "push LOCAL... REMOTE_DIR", "upload files and trees into a remote directory",
         "Uploads each LOCAL (a file, a symbolic link, or a directory with everything in it)\n"
         "into REMOTE_DIR. Existing remote files are never overwritten. Inside a directory,\n"
         "symbolic links are made again on the device with the same text and never followed,\n"
         "whatever they point at; a LOCAL that is a link is followed unless it leads nowhere.\n"
         "Each file goes to a hidden name beside its target (.NAME.keldo-...) and takes its\n"
         "name once complete; a failed one is removed, or the message names it if the device\n"
         "no longer answers.\n",
         {}, {}, 2, -1, R::Afc},
        {"pull", "pull REMOTE LOCAL", "download a file or a tree",
         "Downloads REMOTE to LOCAL. When LOCAL is a directory, into it (the root's contents go\n"
         "into it directly). A remote directory is downloaded with everything in it; symbolic\n"
         "links inside it are made again locally. \".\" and \"..\" in REMOTE are resolved on its\n"
         "text, and nothing is ever written outside LOCAL. A local file is replaced only once\n"
         "its download is complete.\n",
         {}, {}, 2, 2, R::Afc},
        {"cat", "cat PATH...", "write remote files to standard output", "", {}, {}, 1, -1, R::Afc},
    };
    return table;
}

const Command* find(const std::string& name) {
    for (const auto& c : commands()) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

constexpr const char* kGlobalOptions =
    "Options (anywhere on the line):\n"
    "  -u, --udid UDID   the device to use (default: the only attached one)\n"
    "      --json        listings and queries as JSON, for scripts\n"
    "  -q, --quiet       no progress for push and pull\n"
    "  -v, --verbose     also show the library's diagnostic lines\n"
    "      --wait SECS   wait up to SECS seconds for the device to be attached\n"
    "  -h, --help        this text, or a command's with a command\n"
    "      --version     the version\n";

constexpr const char* kExitCodes =
    "Exit status: 0 success, 1 device error (usbmuxd unreachable too), 2 usage error (the\n"
    "root refused too), 3 a tree transferred, removed or listed in part, 130 interrupted.\n";

bool parseSeconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(seconds) && seconds >= 0 && seconds <= 1e6;
}

} // namespace

std::optional<std::string> Invocation::option(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) return std::nullopt;
    return it->second;
}

std::optional<Invocation> CommandLine::parse(const std::vector<std::string>& arguments, std::string& error) {
    Invocation invocation;
    const Command* command = nullptr;
    bool operandsOnly = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (operandsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!command) {
                if (arg == "help") {
                    invocation.help = true;
                    continue;
                }
                command = find(arg);
                if (!command) {
                    error = fmt::format("unknown command \"{}\" (see {} --help)", arg, "keldo-device");
                    return std::nullopt;
                }
                invocation.command = arg;
                continue;
            }
            invocation.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            operandsOnly = true;
            continue;
        }
        // "--name=value" carries its value; otherwise a valued option takes the next argument.
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto takeValue = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < arguments.size()) return arguments[++i];
            error = fmt::format("option {} needs a value", name);
            return std::nullopt;
        };
        auto noValue = [&]() {
            if (inlineValue) error = fmt::format("option {} takes no value", name);
            return !inlineValue;
        };

        if (name == "-h" || name == "--help") {
            if (!noValue()) return std::nullopt;
            invocation.help = true;
        } else if (name == "--version") {
            if (!noValue()) return std::nullopt;
            invocation.version = true;
        } else if (name == "--json") {
            if (!noValue()) return std::nullopt;
            invocation.json = true;
        } else if (name == "-q" || name == "--quiet") {
            if (!noValue()) return std::nullopt;
            invocation.quiet = true;
        } else if (name == "-v" || name == "--verbose") {
            if (!noValue()) return std::nullopt;
            invocation.verbose = true;
        } else if (name == "-u" || name == "--udid") {
            auto value = takeValue();
            if (!value) return std::nullopt;
            if (value->empty()) {
                error = "option -u needs a udid";
                return std::nullopt;
            }
            invocation.udid = *value;
        } else if (name == "--wait") {
            auto value = takeValue();
            if (!value) return std::nullopt;
            if (!parseSeconds(*value, invocation.waitSeconds)) {
                error = fmt::format("--wait takes a number of seconds, not \"{}\"", *value);
                return std::nullopt;
            }
        } else if (command && std::find(command->flags.begin(), command->flags.end(), name) != command->flags.end()) {
            if (!noValue()) return std::nullopt;
            invocation.flags.insert(name);
        } else if (command &&
                   std::find(command->valued.begin(), command->valued.end(), name) != command->valued.end()) {
            auto value = takeValue();
            if (!value) return std::nullopt;
            invocation.options[name] = *value;
        } else {
            error = command ? fmt::format("{}: unknown option {} (see keldo-device {} --help)", command->name, name,
                                          command->name)
                            : fmt::format("unknown option {} (see keldo-device --help)", name);
            return std::nullopt;
        }
    }

    if (invocation.help || invocation.version) return invocation;
    if (!command) {
        error = "no command given (see keldo-device --help)";
        return std::nullopt;
    }
    const int count = static_cast<int>(invocation.operands.size());
    if (count < command->minOperands || (command->maxOperands >= 0 && count > command->maxOperands)) {
        error = fmt::format("{}: {} (usage: keldo-device {})", command->name,
                            count < command->minOperands ? "missing operand" : "too many operands", command->synopsis);
        return std::nullopt;
    }
    return invocation;
}

std::string CommandLine::usage() {
    std::string text =
        "Usage: keldo-device [OPTIONS] COMMAND [ARGUMENTS]\n"
        "\n"
        "Attached iOS devices and their AFC file system (the media area), through the Keldo\n"
        "device-access library: real devices through usbmuxd, or keldo-devsim's simulated ones\n"
        "(USBMUXD_SOCKET_ADDRESS=UNIX:/path).\n"
        "\n"
        "Commands:\n";
    for (const auto& c : commands()) text += fmt::format("  {:<30} {}\n", c.synopsis, c.summary);
    text += "\n";
    text += kGlobalOptions;
    text += "\n";
    text += "Names from a device show a byte that is not UTF-8, a control character or a backslash\n"
            "as \\xNN, and a C1 or bidirectional control as \\uNNNN (see man keldo-device).\n";
    text += kExitCodes;
    text += "See keldo-device COMMAND --help, and man keldo-device.\n";
    return text;
}

std::optional<std::string> CommandLine::helpFor(const std::string& name) {
    const Command* c = find(name);
    if (!c) return std::nullopt;
    std::string text = fmt::format("Usage: keldo-device [OPTIONS] {}\n\n{}.\n", c->synopsis, c->summary);
    if (*c->details) text += fmt::format("\n{}", c->details);
    text += "\n";
    text += kGlobalOptions;
    return text;
}

std::string CommandLine::version() { return fmt::format("keldo-device {}\n", KELDO_VERSION); }

CommandLine::Reach CommandLine::reachOf(const std::string& name) {
    const Command* c = find(name);
    return c ? c->reach : Reach::Monitor;
}

} // namespace keldo
