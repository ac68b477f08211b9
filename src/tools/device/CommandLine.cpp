#include "tools/device/CommandLine.h"

#include "platform/Version.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <utility>

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
        {"apps", "apps [-a]", "the apps whose Documents --app opens",
         "The user's apps that share their documents (UIFileSharingEnabled): bundle identifier,\n"
         "name and version, sorted by identifier. -a (--all) lists every app of the user and\n"
         "adds a column (with --json, \"sharesDocuments\") that tells which share them.\n",
         {"-a"}, {}, 0, 0, R::Device},
        {"watch", "watch", "attach and detach events as they happen",
         "Prints a line for each device that is attached or detached (the attached ones first),\n"
         "until Ctrl-C.\n",
         {}, {}, 0, 0, R::Monitor},
        {"pair", "pair", "pair this computer with the device",
         "Asks the device to trust this computer. The first time, the device asks its user\n"
         "\"Trust This Computer?\": answer on the device, then run pair again. A device locked\n"
         "with a passcode must be unlocked first; one whose user chose \"Don't Trust\" asks\n"
         "again once it is attached again. A device that trusts this computer already is\n"
         "paired again at once.\n",
         {}, {}, 0, 0, R::Device},
        {"unpair", "unpair", "make the device forget this computer",
         "The device no longer trusts this computer, and this computer's pair record for it\n"
         "is removed: info and the file commands need pair again.\n",
         {}, {}, 0, 0, R::Device},
        {"validate", "validate", "check that the device still trusts this computer",
         "Starts and ends a session with this computer's pair record: an error when there is\n"
         "none, or when the device no longer accepts it.\n",
         {}, {}, 0, 0, R::Device},
        {"devinfo", "devinfo", "the AFC file system's information",
         "Model, total and free bytes, block size: what the device's AFC service reports.\n",
         {}, {}, 0, 0, R::Afc},
        {"ls", "ls [-la] [PATH...]", "list directories",
         "The names in each PATH (default /), sorted. -l adds type, size and modification time,\n"
         "and the target of a symbolic link. Every name is listed, those that begin with \".\" too;\n"
         "-a is taken for the habit of ls -la. A PATH that is no directory is listed as itself;\n"
         "with several, files come first, then each directory under a \"PATH:\" line.\n",
         {"-l", "-a"}, {}, 0, -1, R::Afc},
        {"tree", "tree [PATH]", "list a whole tree",
         "Every path under PATH (default /), sorted; directories end in \"/\". A symbolic link\n"
         "is shown as LINK -> TARGET (with --json as {\"path\": LINK, \"target\": TARGET}) and is\n"
         "not followed. What can't be listed is named on standard error and the rest is still\n"
         "shown, with exit status 3.\n",
         {}, {}, 0, 1, R::Afc},
        {"stat", "stat PATH...", "a path's file information", "Every key that the device reports for PATH.\n",
         {}, {}, 1, -1, R::Afc},
        {"mkdir", "mkdir [-p] PATH...", "make directories",
         "-p (--parents) makes missing parent directories too, and is content with a directory\n"
         "that exists already.\n",
         {"-p"}, {}, 1, -1, R::Afc},
        {"rm", "rm [-rf] [--no-preserve-root] PATH...", "remove files, links and empty directories",
         "-r (-R, --recursive) removes directories with everything in them, deepest first; a\n"
         "symbolic link is removed, never followed. -f (--force) says nothing of a PATH that is\n"
         "not there, or of a pattern that matches nothing. A PATH that names the root of the file\n"
         "system (/, \"\", /., /DCIM/.. and the like) is refused and nothing is removed, unless\n"
         "--no-preserve-root is given: then everything in the root goes.\n",
         {"-r", "-f", "--no-preserve-root"}, {}, 1, -1, R::Afc},
        {"mv", "mv [-f] SOURCE... DEST", "rename or move paths",
         "Renames SOURCE to DEST, or moves each SOURCE into DEST when DEST is a directory. A file\n"
         "at the new name is never replaced unless -f (--force) is given: without it, that\n"
         "SOURCE is refused, named, and the others still move. No SOURCE may be the root of\n"
         "the file system; as DEST it is the directory to move into (mv x / makes /x).\n",
         {"-f"}, {}, 2, -1, R::Afc},
        {"ln", "ln [-s] TARGET LINK", "make a hard link (or, with -s, a symbolic one)",
         "Makes LINK pointing at TARGET. Devices since iOS 10 refuse to make links.\n", {"-s"}, {}, 2, 2, R::Afc},
        {"touch", "touch [--date DATE] PATH...", "set modification times",
         "Sets the modification time of each PATH to now, or to DATE, making an empty file\n"
         "where none is. DATE is YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (local time, or UTC with a\n"
         "final Z, or with an offset like +02:00), or @SECONDS since 1970.\n",
         {}, {"--date"}, 1, -1, R::Afc},
        {"push", "push [-f] [--update] [--no-times] [--connections N] LOCAL... REMOTE", "upload files and trees",
         "Uploads each LOCAL (a file, a symbolic link, or a directory with everything in it)\n"
         "into REMOTE when it is a directory on the device, or, for one LOCAL, to the name\n"
         "REMOTE. As with cp, LOCAL/. stands for what is in LOCAL, and a REMOTE that ends in\n"
         "\"/\" must be a directory (one LOCAL directory makes it). A directory that is there is\n"
         "merged into; a file or a link that is there is refused, named, and the rest goes on\n"
         "(exit status 3), unless:\n"
         "  -f, --force  it is replaced (a directory never is), in one step\n"
         "  --update     it is left alone when its size and modification time are LOCAL's:\n"
         "               running the same push again finishes one that was interrupted\n"
         "               (no short form: -u is the udid)\n"
         "Files and directories get LOCAL's modification times (--no-times: they don't).\n"
         "Inside a directory, symbolic links are made again on the device with the same text\n"
         "and never followed, whatever they point at; a LOCAL that is a link is followed\n"
         "unless it leads nowhere. Each file goes to a hidden name beside its target\n"
         "(.NAME.keldo-...) and takes its name once complete; a failed one is removed, or the\n"
         "message names it if the device no longer answers.\n"
         "The files of a tree go over N AFC connections at once (--connections, 1 to 16,\n"
         "default 8; 1 moves them one after another), and a file of 16 MiB or more over up to 4\n"
         "of them in ranges; messages come in path order all the same.\n",
         {"-f", "--update", "--no-times"}, {"--connections"}, 2, -1, R::Afc},
        {"pull", "pull [-f] [--update] [--no-times] [--connections N] REMOTE... LOCAL", "download files and trees",
         "Downloads each REMOTE into LOCAL when it is a directory, or, for one REMOTE, to the\n"
         "name LOCAL; the root, which has no name, and REMOTE/. stand for what is in them. A\n"
         "REMOTE that ends in \"/\" must be a directory. A remote directory comes with\n"
         "everything in it; symbolic links inside it are made again locally. A directory that\n"
         "is there is merged into; a file or a link that is there is refused, named, and the\n"
         "rest goes on (exit status 3), unless -f (--force) replaces it or --update finds it\n"
         "of the same size and modification time already. Files, links and directories get\n"
         "the device's modification times, to the nanosecond (--no-times: they don't).\n"
         "\".\" and \"..\" in REMOTE are resolved on its text, a local link inside a tree is\n"
         "never written through, and nothing is written outside LOCAL. A local file is\n"
         "replaced only once its download is complete. The files of a tree come over N AFC\n"
         "connections at once (--connections, 1 to 16, default 8; 1 moves them one after\n"
         "another), and a file of 16 MiB or more over up to 4 of them in ranges; messages\n"
         "come in path order all the same.\n",
         {"-f", "--update", "--no-times"}, {"--connections"}, 2, -1, R::Afc},
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
    "  -v, --verbose     also show the library's diagnostic lines and every device call\n"
    "                    that fails\n"
    "      --wait SECS   wait up to SECS seconds for the device to be attached\n"
    "      --app ID      the file commands work in the Documents folder of the app ID (a\n"
    "                    bundle identifier, see apps) instead of the media area: / is\n"
    "                    that folder\n"
    "      --container ID\n"
    "                    the same in the app's whole container (/Documents, /Library,\n"
    "                    /tmp), which devices hand out for apps in development only\n"
    "  -h, --help        this text, or a command's with a command\n"
    "      --version     the version\n";

constexpr const char* kExitCodes =
    "Exit status: 0 success, 1 device error (usbmuxd unreachable, no such device, a pattern\n"
    "that matches nothing too), 2 usage error (the root refused, several devices and no -u\n"
    "too), 3 a tree transferred, removed or listed in part, 130 interrupted.\n";

constexpr const char* kPatterns =
    "A PATH of ls, rm and stat, and a REMOTE of pull, may be a pattern with *, ? and [...] as\n"
    "the shell has them, matched against the names on the device: quote it ('/DCIM/*.JPG')\n"
    "so that the local shell leaves it alone. * and ? match a leading \".\" only when it is\n"
    "written, and never \".\" or \"..\". A PATH that names an entry as written means that\n"
    "entry and is no pattern ('/Downloads/photo[1].jpg' beside photo1.jpg); only one that\n"
    "names nothing is matched. A pattern that matches nothing is an error (with rm -f,\n"
    "nothing to do); \\*, \\?, \\[ and \\\\ stand for the character itself.\n";

// The width of the synopsis column of the command list; a longer synopsis has the line to itself.
constexpr std::size_t kSynopsisColumn = 30;

std::string commandLine(const char* synopsis, const char* summary) {
    if (std::string_view(synopsis).size() <= kSynopsisColumn)
        return fmt::format("  {:<{}} {}\n", synopsis, kSynopsisColumn, summary);
    return fmt::format("  {}\n  {:<{}} {}\n", synopsis, "", kSynopsisColumn, summary);
}

bool takesPatterns(const std::string& command) {
    return command == "ls" || command == "rm" || command == "stat" || command == "pull";
}

// Other spellings of commands' switches, as GNU's tools take them.
constexpr std::pair<const char*, const char*> kAliases[] = {
    {"-R", "-r"}, {"--recursive", "-r"}, {"--force", "-f"}, {"--parents", "-p"}, {"--all", "-a"}};

bool has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool parseSeconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(seconds) && seconds >= 0 && seconds <= 1e6;
}

bool parseConnections(const std::string& text, unsigned& connections) {
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    connections = static_cast<unsigned>(std::stoul(text));
    return connections >= 1 && connections <= Invocation::kMostConnections;
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
    std::size_t i = 0;

    // One option by its name, with the value written into its argument ("--name=value", or the
    // rest of a bundle after "-u"), if any; a valued option without one takes the next argument.
    auto option = [&](std::string name, std::optional<std::string> inlineValue) -> bool {
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
            invocation.help = true;
            return noValue();
        }
        if (name == "--version") {
            invocation.version = true;
            return noValue();
        }
        if (name == "--json") {
            invocation.json = true;
            return noValue();
        }
        if (name == "-q" || name == "--quiet") {
            invocation.quiet = true;
            return noValue();
        }
        if (name == "-v" || name == "--verbose") {
            invocation.verbose = true;
            return noValue();
        }
        if (name == "-u" || name == "--udid") {
            auto value = takeValue();
            if (!value) return false;
            if (value->empty()) {
                error = "option -u needs a udid";
                return false;
            }
            invocation.udid = *value;
            return true;
        }
        if (name == "--app" || name == "--container") {
            auto value = takeValue();
            if (!value) return false;
            if (value->empty()) {
                error = fmt::format("option {} needs a bundle identifier", name);
                return false;
            }
            if (invocation.app && (*invocation.app != *value || invocation.container != (name == "--container"))) {
                error = "--app and --container name one app, once";
                return false;
            }
            invocation.app = *value;
            invocation.container = name == "--container";
            return true;
        }
        if (name == "--wait") {
            auto value = takeValue();
            if (!value) return false;
            if (parseSeconds(*value, invocation.waitSeconds)) return true;
            error = fmt::format("--wait takes a number of seconds, not \"{}\"", *value);
            return false;
        }
        if (command) {
            for (const auto& [alias, canonical] : kAliases) {
                if (name == alias && has(command->flags, canonical)) name = canonical;
            }
            if (has(command->flags, name)) {
                invocation.flags.insert(name);
                return noValue();
            }
            if (has(command->valued, name)) {
                auto value = takeValue();
                if (value) invocation.options[name] = *value;
                if (!value || name != "--connections") return value.has_value();
                if (parseConnections(*value, invocation.connections)) return true;
                error = fmt::format("{}: --connections takes a number from 1 to {}, not \"{}\"", command->name,
                                    Invocation::kMostConnections, *value);
                return false;
            }
        }
        error = command ? fmt::format("{}: unknown option {} (see keldo-device {} --help)", command->name, name,
                                      command->name)
                        : fmt::format("unknown option {} (see keldo-device --help)", name);
        return false;
    };

    for (; i < arguments.size(); ++i) {
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
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            if (eq == std::string::npos ? !option(arg, std::nullopt) : !option(arg.substr(0, eq), arg.substr(eq + 1)))
                return std::nullopt;
            continue;
        }
        // Short options bundle as getopt has them: "-la" is "-l -a"; in "-uUDID" or "-qu UDID"
        // the option that takes a value ends the bundle and takes the rest, or the next argument.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const std::string name{'-', arg[k]};
            const bool valued = name == "-u" || (command && has(command->valued, name));
            if (valued) {
                if (!option(name, k + 1 < arg.size() ? std::optional(arg.substr(k + 1)) : std::nullopt))
                    return std::nullopt;
                break;
            }
            if (!option(name, std::nullopt)) return std::nullopt;
        }
    }

    if (invocation.help || invocation.version) return invocation;
    if (!command) {
        error = "no command given (see keldo-device --help)";
        return std::nullopt;
    }
    if (invocation.app && command->reach != Reach::Afc) {
        error = fmt::format("{}: {} is for the file commands only", command->name,
                            invocation.container ? "--container" : "--app");
        return std::nullopt;
    }
    const int count = static_cast<int>(invocation.operands.size());
    // "rm -f" with nothing to remove is fine, as a script's "rm -f $FILES" expects.
    const bool nothingToForce = invocation.command == "rm" && invocation.has("-f") && count == 0;
    if ((count < command->minOperands && !nothingToForce) ||
        (command->maxOperands >= 0 && count > command->maxOperands)) {
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
        "Attached iOS devices and their AFC file system (the media area, or an app's Documents\n"
        "with --app), through the Keldo device-access library: real devices through usbmuxd,\n"
        "or keldo-devsim's simulated ones (USBMUXD_SOCKET_ADDRESS=UNIX:/path).\n"
        "\n"
        "Commands:\n";
    for (const auto& c : commands()) text += commandLine(c.synopsis, c.summary);
    text += commandLine("help [COMMAND]", "this text, or a command's (as COMMAND --help)");
    text += "\n";
    text += kGlobalOptions;
    text += "\n";
    text += "Short options may be bundled (ls -la, rm -rf); -- ends the options.\n\n";
    text += kPatterns;
    text += "\n";
    text += "Names from a device show a byte that is not UTF-8, a control character or a backslash\n"
            "as \\xNN, and a C1 or bidirectional control as \\uNNNN (see man keldo-device).\n\n";
    text += kExitCodes;
    text += "See keldo-device COMMAND --help, and man keldo-device.\n";
    return text;
}

std::optional<std::string> CommandLine::helpFor(const std::string& name) {
    const Command* c = find(name);
    if (!c) return std::nullopt;
    std::string text = fmt::format("Usage: keldo-device [OPTIONS] {}\n\n{}.\n", c->synopsis, c->summary);
    if (*c->details) text += fmt::format("\n{}", c->details);
    if (takesPatterns(c->name)) text += fmt::format("\n{}", kPatterns);
    text += "\n";
    text += kGlobalOptions;
    return text;
}

std::string CommandLine::version() {
    return keldo::version::text("keldo-device", keldo::version::kDeviceAccessLibraries);
}

CommandLine::Reach CommandLine::reachOf(const std::string& name) {
    const Command* c = find(name);
    return c ? c->reach : Reach::Monitor;
}

} // namespace keldo
