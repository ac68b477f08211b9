// keldo-devsim: simulated iOS devices that real clients (libimobiledevice, the agent) reach through
// a usbmuxd socket. See --help for the commands it reads on standard input.
#include "platform/TerminalText.h"
#include "platform/Version.h"
#include "tools/devsim/AppServices.h"
#include "tools/devsim/DeviceSimulator.h"
#include "tools/devsim/LinkModel.h"
#include "tools/devsim/SocketDirectory.h"

#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

using keldo::AppServices;
using keldo::DeviceSimulator;
using keldo::SimulatedApps;
using keldo::SimulatedDeviceInfo;

constexpr const char* kUsage = R"(Usage: keldo-devsim [--socket PATH] [--max-connections N] [--capacity BYTES] [--attach "DEVICE"]...
                    [--link usb2|wifi|none|MICROSECONDS/BYTES_PER_SECOND] [--help] [--version]

Serves simulated iOS devices through a usbmuxd socket, so that libimobiledevice's tools and the
Keldo agent talk to them as to real ones: point them at it with
  USBMUXD_SOCKET_ADDRESS=UNIX:PATH

Options:
  --socket PATH     the usbmuxd socket to serve (default: the path in USBMUXD_SOCKET_ADDRESS when
                    it is UNIX:PATH, else /tmp/keldo-devsim-UID/usbmuxd, in a directory made
                    mode 0700; one that is there must be yours and closed to other users);
                    the socket is made mode 0600 and replaces only a socket, never a file
  --max-connections N
                    connections to devices served at once, each by a thread (default 128);
                    one more is closed as soon as it comes, and the simulator goes on
                    serving the others. usbmuxd's own clients share one event loop: as
                    many as the process may open descriptors
  --capacity BYTES  the most that the files of each file system of a device hold together
                    (default 1 GiB); a write beyond it fails with "no space left"
  --attach DEVICE   attach a device at start; DEVICE as in the attach command below
  --link LINK       delay and pace the connections to a device like the link it names
                    (one link a device, shared by all its connections):
                    usb2 (250 us each way, 35 MB/s each way), wifi (2 ms each way, 18 MB/s
                    each way), none (the default: the socket alone), or a latency in
                    microseconds and a rate in bytes per second, each way, e.g. 500/20000000
  --help            this text
  --version         the version, and those of the libraries it was built with

Each device is as strict as a real one: it pairs only once its user trusts the host, runs
its lockdownd sessions in TLS, and gives out no more than its public identity outside a
session. Its services: AFC over its media (com.apple.afc) and its crash reports
(com.apple.crashreportcopymobile), which start with a few demo files and keep what clients
change while the simulator runs, across detaching and attaching again; the crash report
mover; the diagnostics relay (com.apple.mobile.diagnostics_relay, in TLS); and its apps:
com.apple.mobile.installation_proxy lists them (Browse), and com.apple.mobile.house_arrest
hands an app's container (Documents, Library, tmp) over to AFC for VendDocuments and
VendContainer, or refuses "InstallationLookupFailed" for an app that is not installed or does
not share its documents. A first attach installs a demo app, org.keldo.demo.player, with a
file in its Documents.

Commands, one per line on standard input (answers on standard output):
  attach UDID usb|network VERSION NAME...
                    attach a device paired with this host, with that udid, connection, iOS
                    version and name (the rest of the line, spaces and all); answers
                    "attached ID UDID at SECONDS" (monotonic clock)
  attach-unpaired UDID usb|network VERSION NAME...
                    the same, for a device this host has no pair record of and that trusts no
                    host: pairing asks its user first (see trust)
  detach UDID [usb|network]
                    detach it; answers "detached UDID at SECONDS"
  trust UDID        its user answers the trust prompt with Trust: pairing requests succeed
                    until it is attached again; answers "trusted UDID at SECONDS"
  deny UDID         its user answers with Don't Trust: pairing requests get
                    "UserDeniedPairing" until it is attached again; answers "denied ..."
                    (before either, they get "PairingDialogResponsePending")
  untrust UDID      its user resets its trust settings: it trusts no host from then on, while
                    this host keeps its pair record; answers "untrusted UDID at SECONDS"
  lock UDID         a passcode locks it: pairing requests get "PasswordProtected";
                    answers "locked UDID at SECONDS"
  unlock UDID       it is unlocked again; answers "unlocked UDID at SECONDS"
  cleartext UDID    its lockdownd answers EnableSessionSSL false to StartSession and runs
                    sessions in plain text, as a relay that turns encryption off would;
                    answers "cleartext UDID at SECONDS"
  encrypted UDID    sessions run in TLS again; answers "encrypted UDID at SECONDS"
  freeze UDID [usb|network]
                    the device stops answering, as one that hangs: its connections stay
                    open and it reads what clients send, but lockdownd and its services
                    answer nothing and usbmuxd holds back connections to it;
                    answers "frozen UDID at SECONDS"
  thaw UDID [usb|network]
                    it answers what came meanwhile, in order, and goes on as before;
                    answers "thawed UDID at SECONDS"
  lenient UDID      its media takes any name and path, as a confused device may hold them:
                    names longer than 255 bytes or not UTF-8, paths past 1024 bytes (a
                    device refuses those, and so does the simulator until then); answers
                    "lenient UDID at SECONDS"
  list              one line per device, then "ok"
  install UDID BUNDLE_ID VERSION NAME...
                    install an app that shares its documents on the device with that udid
                    (attached or not), or update the one with that bundle identifier,
                    which keeps its files; answers "installed BUNDLE_ID on UDID"
  install-private UDID BUNDLE_ID VERSION NAME...
                    the same, for an app that does not share its documents
  uninstall UDID BUNDLE_ID
                    remove the app with its files; answers "uninstalled BUNDLE_ID from UDID"
  apps UDID         one line per app, "BUNDLE_ID VERSION shared|private NAME", then "ok"
  quit              stop serving and exit
Errors are answered "error: TEXT". The end of standard input does not stop the simulator;
SIGTERM and SIGINT do, and remove the socket.
)";

std::string now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return fmt::format("{}.{:09}", t.tv_sec, t.tv_nsec);
}

// Lines echo names and udids as they were given: escaped, like every text for a terminal.
void say(const std::string& line) {
    const std::string text = keldo::TerminalText::escaped(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void complain(const std::string& text) {
    const std::string line = "keldo-devsim: " + keldo::TerminalText::escaped(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// What follows the first `count` words of the line and the blanks after them, as it was written.
std::string restAfter(const std::string& line, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t word = 0; word < count; ++word) {
        while (at < line.size() && isBlank(line[at])) ++at;
        while (at < line.size() && !isBlank(line[at])) ++at;
    }
    while (at < line.size() && isBlank(line[at])) ++at;
    return line.substr(at);
}

// "attach UDID usb|network VERSION NAME..." -> the model's description of the device. The name
// is the rest of the line: a name of several words keeps its spaces.
std::optional<SimulatedDeviceInfo> parseDevice(const std::string& line, bool paired) {
    const auto w = words(line);
    if (w.size() < 5 || (w[2] != "usb" && w[2] != "network")) return std::nullopt;
    const std::string name = restAfter(line, 4);
    auto info = SimulatedDeviceInfo::iPhone(w[1], name, w[3], w[2] == "network" ? 2 : 1);
    info.pairedAnswer = paired ? 1 : 0;
    return info;
}

// A first attach finds a few files, so that AFC clients (idevicecrashreport -k DIR, for one) have
// something to copy; they were made long ago (13 May 2014), and what clients make from then on
// carries the time it is made. A device that was attached before keeps what clients left.
void addDemoFiles(DeviceSimulator& simulator, const std::string& udid) {
    constexpr std::uint64_t kLongAgo = 1'400'000'000ull * 1'000'000'000ull;
    keldo::SimulatedFileSystem& media = simulator.fileSystem(udid);
    if (media.names("/").empty()) {
        media.setClock(kLongAgo);
        media.addFile("/DCIM/100APPLE/IMG_0001.JPG", std::string("\xFF\xD8\xFF\xE0 demo photo", 15));
        media.addFile("/Books/Welcome.txt", "Files on a simulated device.\n");
        media.followSystemClock();
    }
    keldo::SimulatedFileSystem& reports = simulator.fileSystem(udid, DeviceSimulator::kCrashReportService);
    if (reports.names("/").empty()) {
        reports.setClock(kLongAgo);
        const std::string report = "Incident Identifier: 00000000-6B65-4C64-8F44-454D4F000001\nProcess: Demo [42]\n";
        reports.addFile("/Demo-2024-05-01-101500.ips", report);
        reports.addFile("/Retired/Demo-2024-04-01-090000.ips", report);
        reports.addSymbolicLink("/LatestCrash-Demo.ips", "Demo-2024-05-01-101500.ips");
        reports.followSystemClock();
    }
}

// A first attach finds an app to put files into. A device that had apps keeps what it has.
void addDemoApp(AppServices& apps, const std::string& udid) {
    auto installed = apps.appsOf(udid);
    if (!installed->list().empty()) return;
    installed->install({"org.keldo.demo.player", "Demo Player", "1.0", true});
    installed->container("org.keldo.demo.player")->addFile("/Documents/Welcome.txt", "Files of a simulated app.\n");
}

// Texts that a property list can carry: none of the C0 controls.
bool carriable(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// install, install-private, uninstall and apps.
void runAppCommand(AppServices& apps, const std::vector<std::string>& w) {
    if (w[0] == "install" || w[0] == "install-private") {
        if (w.size() < 5) {
            say(fmt::format("error: usage: {} UDID BUNDLE_ID VERSION NAME...", w[0]));
            return;
        }
        std::string name = w[4];
        for (std::size_t i = 5; i < w.size(); ++i) name += " " + w[i];
        if (!carriable(w[2]) || !carriable(w[3]) || !carriable(name)) {
            say("error: a bundle identifier, version or name can't hold control characters");
            return;
        }
        apps.appsOf(w[1])->install({w[2], name, w[3], w[0] == "install"});
        say(fmt::format("installed {} on {}", w[2], w[1]));
    } else if (w[0] == "uninstall") {
        if (w.size() != 3) {
            say("error: usage: uninstall UDID BUNDLE_ID");
        } else if (!apps.appsOf(w[1])->remove(w[2])) {
            say(fmt::format("error: no app {} on {}", w[2], w[1]));
        } else {
            say(fmt::format("uninstalled {} from {}", w[2], w[1]));
        }
    } else if (w.size() != 2) {
        say("error: usage: apps UDID");
    } else {
        for (const auto& app : apps.appsOf(w[1])->list()) {
            say(fmt::format("{} {} {} {}", app.bundleIdentifier, app.version, app.sharesDocuments ? "shared" : "private",
                            app.name));
        }
        say("ok");
    }
}

// A number of decimal digits from 1 to `most`.
std::optional<std::uint64_t> positiveNumber(const char* text, unsigned long long most) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || n == 0 || n > most) return std::nullopt;
    return n;
}

// Runs one command; false when the simulator is to stop.
bool runCommand(DeviceSimulator& simulator, AppServices& apps, std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto w = words(line);
    if (w.empty()) return true;
    if (w[0] == "attach" || w[0] == "attach-unpaired") {
        auto info = parseDevice(line, w[0] == "attach");
        if (info) {
            addDemoFiles(simulator, w[1]);
            addDemoApp(apps, w[1]);
        }
        if (!info) {
            say("error: usage: attach UDID usb|network VERSION NAME...");
        } else if (const auto id = simulator.attach(std::move(*info))) {
            say(fmt::format("attached {} {} at {}", id, w[1], now()));
        } else {
            say("error: " + simulator.lastError());
        }
    } else if (w[0] == "detach" || w[0] == "freeze" || w[0] == "thaw") {
        const std::int32_t type = w.size() > 2 ? (w[2] == "network" ? 2 : 1) : 0;
        if (w.size() < 2) {
            say(fmt::format("error: usage: {} UDID [usb|network]", w[0]));
            return true;
        }
        bool done = false;
        if (w[0] == "detach") done = simulator.detach(w[1], type);
        if (w[0] == "freeze") done = simulator.freeze(w[1], type);
        if (w[0] == "thaw") done = simulator.thaw(w[1], type);
        const char* answer = w[0] == "detach" ? "detached" : w[0] == "freeze" ? "frozen" : "thawed";
        say(done ? fmt::format("{} {} at {}", answer, w[1], now()) : "error: " + simulator.lastError());
    } else if (w[0] == "trust" || w[0] == "deny" || w[0] == "lock" || w[0] == "unlock" || w[0] == "untrust" ||
               w[0] == "cleartext" || w[0] == "encrypted") {
        if (w.size() != 2) {
            say(fmt::format("error: usage: {} UDID", w[0]));
            return true;
        }
        const bool done = w[0] == "untrust"                    ? simulator.forgetHosts(w[1])
                          : w[0] == "trust" || w[0] == "deny" ? simulator.answerTrustPrompt(w[1], w[0] == "trust")
                          : w[0] == "lock" || w[0] == "unlock" ? simulator.setLocked(w[1], w[0] == "lock")
                                                               : simulator.setCleartextSessions(w[1], w[0] == "cleartext");
        const char* answer = w[0] == "trust"     ? "trusted"
                             : w[0] == "deny"    ? "denied"
                             : w[0] == "untrust" ? "untrusted"
                             : w[0] == "lock"    ? "locked"
                             : w[0] == "unlock"  ? "unlocked"
                                                 : w[0].c_str();
        say(done ? fmt::format("{} {} at {}", answer, w[1], now()) : "error: " + simulator.lastError());
    } else if (w[0] == "lenient") {
        if (w.size() != 2) {
            say("error: usage: lenient UDID");
            return true;
        }
        simulator.fileSystem(w[1]).setKeepsLimits(false);
        say(fmt::format("lenient {} at {}", w[1], now()));
    } else if (w[0] == "list") {
        for (const auto& d : simulator.describeDevices()) say(d);
        say("ok");
    } else if (w[0] == "install" || w[0] == "install-private" || w[0] == "uninstall" || w[0] == "apps") {
        runAppCommand(apps, w);
    } else if (w[0] == "quit") {
        return false;
    } else {
        say("error: unknown command " + w[0]);
    }
    return true;
}

// The socket that USBMUXD_SOCKET_ADDRESS names, else one in a directory of our own; none (with
// the error) when that directory is not fit.
std::optional<std::string> defaultSocket(std::string& error) {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (address && std::string(address).rfind("UNIX:", 0) == 0) return address + 5;
    const std::string dir = fmt::format("/tmp/keldo-devsim-{}", getuid());
    if (!keldo::SocketDirectory::prepare(dir, getuid(), error)) return std::nullopt;
    return dir + "/usbmuxd";
}

} // namespace

int main(int argc, char** argv) {
    std::string socketPath;
    DeviceSimulator::Options options;
    std::vector<std::string> attachAtStart;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::fputs(keldo::version::text("keldo-devsim", keldo::version::kSimulatorLibraries).c_str(), stdout);
            return 0;
        }
        if ((arg == "--max-connections" || arg == "--capacity") && i + 1 < argc) {
            const bool bound = arg == "--max-connections";
            const unsigned long long most = bound ? 1'000'000 : 1ull << 40;
            const auto n = positiveNumber(argv[++i], most);
            if (!n) {
                std::fprintf(stderr, "keldo-devsim: %s takes a number from 1 to %llu\n", arg.c_str(), most);
                return 2;
            }
            (bound ? options.maxConnections : options.capacity) = *n;
            continue;
        }
        if (arg == "--link" && i + 1 < argc) {
            const std::string name = argv[++i];
            options.link = name == "none" ? std::nullopt : keldo::LinkModel::named(name);
            if (name != "none" && !options.link) {
                std::fprintf(stderr, "keldo-devsim: --link takes usb2, wifi, none or MICROSECONDS/BYTES_PER_SECOND\n");
                return 2;
            }
            continue;
        }
        if ((arg == "--socket" || arg == "--attach") && i + 1 < argc) {
            (arg == "--socket" ? socketPath = argv[++i] : attachAtStart.emplace_back(argv[++i]));
            continue;
        }
        complain(fmt::format("unknown argument {} (see --help)", arg));
        return 2;
    }
    if (socketPath.empty()) {
        std::string error;
        const auto path = defaultSocket(error);
        if (!path) {
            std::fprintf(stderr, "keldo-devsim: %s\n", error.c_str());
            return 1;
        }
        socketPath = *path;
    }

    // usbmuxd's clients cost a descriptor each: as many as the system lets this process have.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }

    // Signals are taken through a descriptor by the main thread only; every thread made from here
    // on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    options.log = [](const std::string& line) { std::fprintf(stderr, "keldo-devsim: %s\n", line.c_str()); };
    auto apps = std::make_shared<AppServices>(options.capacity);
    keldo::ServiceRegistry services;
    AppServices::addTo(services, apps);
    DeviceSimulator simulator(socketPath, std::move(services), std::move(options));
    // Keys take a while: made before the socket appears, so that the devices come right after.
    for (const auto& device : attachAtStart) {
        const std::string line = "attach " + device;
        if (auto info = parseDevice(line, true)) (void)simulator.prepare(*info);
    }
    if (!simulator.start()) {
        complain(simulator.lastError());
        return 1;
    }
    say("listening UNIX:" + socketPath);
    bool running = true;
    for (const auto& device : attachAtStart) running = runCommand(simulator, *apps, "attach " + device) && running;

    std::string pending;
    bool inputOpen = true;
    while (running) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents) break;
        if (!fds[1].revents) continue;
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n <= 0) {
            inputOpen = false;
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); running && end != std::string::npos; end = pending.find('\n')) {
            running = runCommand(simulator, *apps, pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    simulator.stop();
    if (signalFd >= 0) ::close(signalFd);
    return 0;
}
