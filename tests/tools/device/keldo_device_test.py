#!/usr/bin/env python3
"""keldo-device driven as a user drives it, against keldo-devsim on a private usbmuxd socket.

Usage: keldo_device_test.py KELDO-DEVICE KELDO-DEVSIM [unittest arguments, e.g. a test class]
"""
import base64
import json
import os
import pty
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

TOOL = DEVSIM = None
USAGE, DEVICE_ERROR, PARTIAL, INTERRUPTED = 2, 1, 3, 130


class Simulator:
    """keldo-devsim on a socket of its own, driven through its standard input."""

    def __init__(self, directory, devices, options=()):
        self.socket = os.path.join(directory, "usbmuxd")
        args = [DEVSIM, "--socket", self.socket, *options]
        for device in devices:
            args += ["--attach", device]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in range(len(devices) + 1):
            self.process.stdout.readline()  # "listening ...", then one "attached ..." per device

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        assert not answer.startswith("error"), answer
        return answer

    def freeze(self, udid="usb-0001"):
        """The device stops answering; the simulator and its other devices go on."""
        self.command("freeze " + udid)

    def thaw(self, udid="usb-0001"):
        self.command("thaw " + udid)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdin.close()
        self.process.stdout.close()


class ToolTest(unittest.TestCase):
    devices = ["usb-0001 usb 7.1 USB Phone"]
    simulator_options = ()

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.sim = Simulator(self.dir, self.devices, self.simulator_options)
        self.env = dict(os.environ, USBMUXD_SOCKET_ADDRESS="UNIX:" + self.sim.socket, TZ="UTC")

    def tearDown(self):
        self.sim.stop()
        shutil.rmtree(self.dir)

    def tool(self, *args, stdin=None):
        return subprocess.run([TOOL, *args], env=self.env, capture_output=True, timeout=60, stdin=stdin)

    def ok(self, *args):
        result = self.tool(*args)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result.stdout.decode()

    def json(self, *args):
        return json.loads(self.ok("--json", *args))

    def fails(self, code, *args):
        """The exit code, and the one message on standard error."""
        result = self.tool(*args)
        error = result.stderr.decode()
        self.assertEqual(result.returncode, code, error)
        self.assertEqual(error.count("\n"), 1, error)
        self.assertTrue(error.startswith("keldo-device: "), error)
        return error

    def spawn(self, *args):
        process = subprocess.Popen([TOOL, *args], env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
        self.addCleanup(self.reap, process)  # a test that fails half-way leaves no tool running
        return process

    @staticmethod
    def reap(process):
        if process.poll() is None:
            process.kill()
        process.communicate()

    def run_on_terminal(self, *args, until=None, output=False):
        """Runs the tool with standard error (and standard output too, when output is true) on a
        pseudo-terminal; calls until(text so far, process) as the terminal's text grows, until it
        answers true; returns (process, all of the text) and, with until, the seconds from its acting
        to the tool's end."""
        master, slave = pty.openpty()
        process = subprocess.Popen([TOOL, *args], env=self.env, stdout=slave if output else subprocess.DEVNULL,
                                   stderr=slave)
        os.close(slave)
        text = b""
        acted = False
        while True:
            ready, _, _ = select.select([master], [], [], 30)
            if not ready:
                process.kill()
                self.fail("no output from the terminal: " + text.decode(errors="replace"))
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break  # the tool closed the terminal
            if not chunk:
                break
            text += chunk
            if until and not acted and until(text.decode(errors="replace"), process):
                acted = time.monotonic()
        process.wait(30)
        ended = time.monotonic()
        os.close(master)
        if until:
            return process, text.decode(errors="replace"), ended - acted if acted else None
        return process, text.decode(errors="replace")

    def local(self, *parts):
        return os.path.join(self.dir, *parts)

    def read(self, *parts):
        with open(self.local(*parts), "rb") as f:
            return f.read()

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


class Usage(unittest.TestCase):
    def run_tool(self, *args):
        return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=30)

    def test_usage_errors_exit_2_with_one_message(self):
        for args, text in [((), "no command"), (("frobnicate",), 'unknown command "frobnicate"'),
                           (("ls", "-x"), "ls: unknown option -x"), (("mv", "/a"), "mv: missing operand"),
                           (("tree", "/a", "/b"), "tree: too many operands"), (("--wait", "soon", "list"), "--wait"),
                           (("info", "--key"), "option --key needs a value"), (("list", "--json=yes"), "takes no value")]:
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, USAGE, args)
            self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
            self.assertIn(text, result.stderr)
            self.assertEqual(result.stdout, "")

    def test_help_for_the_tool_and_each_command(self):
        for args in [("--help",), ("-h",)]:
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 0)
            for command in ["list", "info", "apps", "watch", "pair", "unpair", "validate", "devinfo", "ls", "tree",
                            "stat", "mkdir", "rm", "mv", "ln", "touch", "push", "pull", "cat"]:
                self.assertIn("\n  " + command, result.stdout)
        for args in [("ls", "--help"), ("help", "ls"), ("--help", "ls", "-l")]:
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 0, args)
            self.assertTrue(result.stdout.startswith("Usage: keldo-device [OPTIONS] ls [-la] [PATH...]"), result.stdout)


    def test_version_is_the_projects_then_the_libraries_it_was_built_with(self):
        top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../CMakeLists.txt")
        with open(top) as f:
            version = re.search(r"^project\(\S+ VERSION (\S+)", f.read(), re.M).group(1)
        result = self.run_tool("--version")
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "keldo-device " + version)
        self.assertEqual([line.split()[2] for line in lines[1:]],
                         ["libimobiledevice", "libusbmuxd", "libplist", "OpenSSL", "GLib", "libxml2"])

    def test_help_and_the_man_page_keep_their_columns(self):
        text = self.run_tool("--help").stdout
        start = text.index("Commands:\n") + len("Commands:\n")
        lines = text[start:text.index("\n\n", start)].split("\n")
        synopses = []
        i = 0
        while i < len(lines):
            # A summary starts in column 33, after its synopsis or, for a long one, on the next line.
            if i + 1 < len(lines) and lines[i + 1].startswith(" " * 33):
                synopses.append(lines[i].strip())
                i += 2
                continue
            self.assertTrue(lines[i][32] == " " and lines[i][33] != " ", lines[i])
            synopses.append(lines[i][2:32].rstrip())
            i += 1
        self.assertIn("info [--domain DOMAIN] [--key KEY]", synopses)
        self.assertIn("help [COMMAND]", synopses)
        if not shutil.which("groff"):
            self.skipTest("no groff to render the man page")
        page = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../src/tools/device/keldo-device.1")
        rendered = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", page], capture_output=True, text=True).stdout
        # Each command's tag, as the man page shows it: the whole synopsis, on a line of its own or
        # before the start of its text.
        tags = {re.split(r" {2,}", line.strip())[0] for line in rendered.splitlines()
                if line.startswith(" " * 7) and not line.startswith(" " * 8)}
        for synopsis in synopses:
            self.assertIn(synopsis, tags)


class DeviceCommands(ToolTest):
    devices = ["usb-0001 usb 7.1 USB Phone", "net-0002 network 9.3 Net Phone"]

    def test_list_shows_every_device_with_its_identity(self):
        self.assertEqual(self.json("list"), [
            {"udid": "usb-0001", "name": "USB Phone", "version": "7.1", "productType": "iPhone4,1",
             "deviceClass": "iPhone", "connection": "usb", "paired": True},
            {"udid": "net-0002", "name": "Net Phone", "version": "9.3", "productType": "iPhone4,1",
             "deviceClass": "iPhone", "connection": "network", "paired": True}])
        lines = self.ok("list").splitlines()
        self.assertEqual(lines[0].split(), ["UDID", "NAME", "VERSION", "PRODUCT", "CLASS", "CONNECTION", "PAIRED"])
        self.assertEqual(lines[2].split(), ["net-0002", "Net", "Phone", "9.3", "iPhone4,1", "iPhone", "network", "yes"])

    def test_a_command_on_one_device_needs_a_choice_among_several(self):
        self.assertIn("2 devices are attached; choose one with -u UDID", self.fails(USAGE, "info"))
        self.assertIn("2 devices are attached", self.fails(USAGE, "ls"))
        self.assertIn("no device with udid other-3 is attached", self.fails(DEVICE_ERROR, "-u", "other-3", "info"))
        self.assertEqual(self.json("info", "-u", "net-0002", "--key", "DeviceName"), "Net Phone")

    def test_info_reads_all_values_or_one(self):
        values = self.json("-u", "usb-0001", "info")
        self.assertEqual((values["DeviceName"], values["ProductVersion"]), ("USB Phone", "7.1"))
        self.assertIn("UniqueDeviceID: usb-0001\n", self.ok("-u", "usb-0001", "info"))
        self.assertIn("no value for NoSuchKey", self.fails(DEVICE_ERROR, "-u", "usb-0001", "info", "--key", "NoSuchKey"))

    def test_a_device_asked_for_that_is_not_there_fails_list_too(self):
        for args in [("list", "-u", "absent-9"), ("--json", "-u", "absent-9", "list")]:
            self.assertEqual(self.fails(DEVICE_ERROR, *args), "keldo-device: no device with udid absent-9 is attached\n")
        self.assertEqual(self.json("-u", "net-0002", "list")[0]["udid"], "net-0002")

    def test_wait_takes_a_device_that_comes_later(self):
        self.sim.command("detach usb-0001")
        self.sim.command("detach net-0002")
        self.assertEqual(self.json("list"), [])
        self.assertIn("no device attached", self.fails(DEVICE_ERROR, "info"))
        self.assertIn("no device attached (waited 1 s)", self.fails(DEVICE_ERROR, "--wait", "1", "list"))
        waiting = self.spawn("--wait", "20", "-u", "late-3", "--json", "info", "--key", "DeviceName")
        time.sleep(1)
        self.sim.command("attach late-3 usb 8.0 Late Phone")
        out, err = waiting.communicate(timeout=30)
        self.assertEqual((waiting.returncode, json.loads(out)), (0, "Late Phone"), err)
        error = self.fails(DEVICE_ERROR, "--wait", "0.5", "-u", "never-5", "info")
        self.assertIn("no device with udid never-5 is attached (waited 0.5 s)", error)
        waiting = self.spawn("--wait", "20", "-u", "never-5", "info")
        time.sleep(1)
        waiting.send_signal(signal.SIGINT)
        out, err = waiting.communicate(timeout=10)
        self.assertEqual((waiting.returncode, err), (INTERRUPTED, "keldo-device: interrupted\n"))

    def test_watch_prints_events_until_interrupted(self):
        watch = self.spawn("--json", "-u", "usb-0001", "watch")
        first = json.loads(watch.stdout.readline())
        self.assertEqual(first, {"event": "attached", "udid": "usb-0001", "name": "USB Phone", "version": "7.1",
                                 "connection": "usb"})
        self.sim.command("detach net-0002")  # not the one watched
        self.sim.command("detach usb-0001")
        # A detached device is asked nothing; its event carries what was known of it.
        self.assertEqual(json.loads(watch.stdout.readline()), dict(first, event="detached"))
        self.sim.command("attach usb-0001 usb 7.1 USB Phone")
        self.assertEqual(json.loads(watch.stdout.readline())["event"], "attached")
        watch.send_signal(signal.SIGINT)
        out, err = watch.communicate(timeout=10)
        self.assertEqual((watch.returncode, out, err), (0, "", ""))

    def test_no_usbmuxd_to_ask_is_no_empty_list(self):
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(self.local("stale"))  # a socket file that nobody listens on any more
        stale.close()
        for address, why in [("UNIX:" + self.local("missing"), "No such file or directory"),
                             ("UNIX:" + self.local("stale"), "Connection refused"),
                             ("127.0.0.1:1", "Connection refused")]:
            self.env["USBMUXD_SOCKET_ADDRESS"] = address
            for args in [("list",), ("--json", "list"), ("-u", "usb-0001", "info"), ("ls",)]:
                error = self.fails(DEVICE_ERROR, *args)
                self.assertIn("can't reach usbmuxd at {}: {}".format(address, why), error)

    def test_an_unpaired_device_says_so(self):
        self.sim.command("attach-unpaired lone-4 usb 9.0 Lone Phone")
        self.assertIn("not paired", self.fails(DEVICE_ERROR, "-u", "lone-4", "info"))
        self.assertIn("can't open the file system of lone-4: the device is not paired",
                      self.fails(DEVICE_ERROR, "-u", "lone-4", "ls"))
        self.assertEqual(self.json("-u", "lone-4", "list")[0]["paired"], False)


class Pairing(ToolTest):
    """pair, unpair and validate through the device's trust prompt, which the simulator plays."""
    devices = ["usb-0001 usb 7.1 USB Phone"]

    def test_pair_waits_for_the_users_trust_and_says_why_it_was_refused(self):
        self.sim.command("attach-unpaired lone-4 usb 12.4 Lone Phone")
        pending = "keldo-device: pair: Trust this computer? Answer on the device, then run pair again\n"
        self.assertEqual(self.fails(DEVICE_ERROR, "-u", "lone-4", "pair"), pending)
        self.sim.command("lock lone-4")
        self.assertIn("locked with a passcode: unlock it, then run pair again",
                      self.fails(DEVICE_ERROR, "-u", "lone-4", "pair"))
        self.sim.command("unlock lone-4")
        self.sim.command("deny lone-4")
        self.assertIn("chose not to trust this computer", self.fails(DEVICE_ERROR, "-u", "lone-4", "pair"))
        self.sim.command("detach lone-4")
        self.sim.command("attach-unpaired lone-4 usb 12.4 Lone Phone")  # attached again: asked again
        self.assertEqual(self.fails(DEVICE_ERROR, "-u", "lone-4", "pair"), pending)
        self.sim.command("trust lone-4")
        self.assertEqual(self.ok("-u", "lone-4", "pair"), 'lone-4 "Lone Phone" is paired with this computer\n')
        self.assertEqual(self.json("-u", "lone-4", "list")[0]["paired"], True)
        self.assertEqual(self.json("-u", "lone-4", "info", "--key", "SerialNumber"), "SIMlone-4")
        self.assertEqual(self.json("-u", "lone-4", "validate"), {"udid": "lone-4", "paired": True})
        # Pairing again brings new certificates under a name the device trusts, which anyone may
        # claim: the user is asked again, and the pairing in place goes on working meanwhile.
        self.assertEqual(self.fails(DEVICE_ERROR, "-u", "lone-4", "pair"), pending)
        self.assertEqual(self.json("-u", "lone-4", "validate"), {"udid": "lone-4", "paired": True})
        self.sim.command("trust lone-4")
        self.assertEqual(self.json("-u", "lone-4", "pair"), {"udid": "lone-4", "paired": True})

    def test_a_device_that_no_longer_trusts_this_computer_says_how_to_mend_it(self):
        self.sim.command("untrust usb-0001")  # its user reset the trust settings; the pair record stays
        for args in [("info", "--key", "DeviceName"), ("info",), ("ls",)]:
            self.assertIn("(the device no longer trusts this computer: run pair, then answer Trust on it)",
                          self.fails(DEVICE_ERROR, *args))
        self.assertIn("Trust this computer?", self.fails(DEVICE_ERROR, "pair"))
        self.sim.command("trust usb-0001")
        self.ok("pair")
        self.assertEqual(self.json("info", "--key", "DeviceName"), "USB Phone")

    def test_unpair_makes_the_device_forget_this_computer(self):
        self.assertEqual(self.ok("validate"), 'usb-0001 "USB Phone" is paired with this computer\n')
        self.assertEqual(self.ok("unpair"), 'usb-0001 "USB Phone" is no longer paired with this computer\n')
        self.assertEqual(self.json("list")[0]["paired"], False)
        self.assertIn("validate: not paired with this computer", self.fails(DEVICE_ERROR, "validate"))
        self.assertIn("unpair: not paired with this computer", self.fails(DEVICE_ERROR, "unpair"))
        self.assertIn("not paired", self.fails(DEVICE_ERROR, "ls"))
        # The device forgot this computer too: pairing again asks its user.
        self.assertIn("Trust this computer?", self.fails(DEVICE_ERROR, "pair"))
        self.sim.command("trust usb-0001")
        self.ok("pair")
        self.assertIn("Welcome.txt", self.ok("ls", "/Books"))


class FileCommands(ToolTest):
    """The AFC commands on the simulator's media area, which starts with /Books/Welcome.txt and
    /DCIM/100APPLE/IMG_0001.JPG."""

    def test_listings(self):
        self.assertEqual(self.ok("ls"), "Books\nDCIM\n")
        self.assertEqual(self.json("ls", "-l", "/DCIM/100APPLE"),
                         [{"name": "IMG_0001.JPG", "type": "file", "size": 15, "mtime": "2014-05-13T16:53:20Z"}])
        self.assertEqual(self.ok("ls", "-l", "/Books").split(), ["-", "29", "2014-05-13", "16:53", "Welcome.txt"])
        self.assertEqual(self.ok("ls", "/Books/Welcome.txt"), "/Books/Welcome.txt\n")
        tree = ["/", "/Books/", "/Books/Welcome.txt", "/DCIM/", "/DCIM/100APPLE/", "/DCIM/100APPLE/IMG_0001.JPG"]
        self.assertEqual(self.json("tree"), tree)
        self.assertEqual(self.ok("tree", "/DCIM/"), "/DCIM/\n/DCIM/100APPLE/\n/DCIM/100APPLE/IMG_0001.JPG\n")
        error = self.fails(DEVICE_ERROR, "ls", "/Nothing")
        self.assertIn("ls /Nothing: no such file or directory [AFCDirectoryOpen 0x0008]", error)

    def test_tree_shows_symbolic_links_and_does_not_follow_them(self):
        self.ok("ln", "-s", "nowhere", "/Books/dangling")
        self.ok("ln", "-s", "/DCIM", "/Books/photos")
        self.ok("ln", "-s", "..", "/Books/up")  # back to an enclosing directory
        self.assertEqual(self.ok("tree", "/Books"), "/Books/\n/Books/Welcome.txt\n/Books/dangling -> nowhere\n"
                                                    "/Books/photos -> /DCIM\n/Books/up -> ..\n")
        self.assertEqual(self.json("tree")[:4], ["/", "/Books/", "/Books/Welcome.txt",
                                                 {"path": "/Books/dangling", "target": "nowhere"}])
        self.assertEqual(self.ok("tree", "/Books/dangling"), "/Books/dangling -> nowhere\n")
        self.assertEqual(self.ok("tree", "/Books/photos/"), "/Books/photos/\n/Books/photos/100APPLE/\n"
                                                           "/Books/photos/100APPLE/IMG_0001.JPG\n")

    def test_the_root_is_never_removed_or_moved_without_an_override(self):
        before = self.ok("tree")
        for root in ["", "/", "/.", "/..", "//", "DCIM/..", "/Books/../", "./"]:
            self.assertIn('"{}" is the root of the file system'.format(root), self.fails(USAGE, "rm", "-r", root))
        self.assertIn("--no-preserve-root", self.fails(USAGE, "rm", "-r", "/Books", "/DCIM/.."))
        self.fails(USAGE, "rm", "/.")
        self.fails(USAGE, "mv", "/DCIM/..", "/Old")
        self.fails(USAGE, "mv", "/Books/Welcome.txt", "")
        self.assertEqual(self.ok("tree"), before)
        # As a destination the root is a directory like any other.
        self.ok("mv", "/Books/Welcome.txt", "/")
        self.ok("mv", "/Welcome.txt", "/Books")
        # A trailing "/" on a link does not make rm go through it.
        self.ok("ln", "-s", "/", "/Books/root")
        self.ok("rm", "-r", "/Books/root/")
        self.assertEqual(self.ok("tree"), before)
        self.ok("rm", "-r", "--no-preserve-root", "/")
        self.assertEqual(self.ok("tree"), "/\n")

    def test_information(self):
        info = self.json("stat", "/Books/Welcome.txt")
        self.assertEqual((info["path"], info["st_ifmt"], info["st_size"]), ("/Books/Welcome.txt", "S_IFREG", 29))
        self.assertEqual(info["st_mtime"], "2014-05-13T16:53:20Z")
        self.assertEqual([i["path"] for i in self.json("stat", "/", "/Books")], ["/", "/Books"])
        result = self.tool("--json", "stat", "/Books", "/Nothing")  # carries on past a failed path
        self.assertEqual(result.returncode, DEVICE_ERROR)
        self.assertEqual([i["path"] for i in json.loads(result.stdout)], ["/Books"])
        self.assertIn("stat /Nothing: no such file or directory [AFCFileInfoOpen 0x0008]", result.stderr.decode())
        self.assertIsInstance(self.json("devinfo")["FSTotalBytes"], int)

    def test_contents_come_byte_for_byte(self):
        self.assertEqual(self.tool("cat", "/DCIM/100APPLE/IMG_0001.JPG").stdout, b"\xFF\xD8\xFF\xE0 demo photo")
        self.assertIn("cat /Books: is a directory [AFCFileRefOpen 0x0009]", self.fails(DEVICE_ERROR, "cat", "/Books"))

    def test_path_operations(self):
        self.ok("mkdir", "/Work", "/Work/Sub")
        self.ok("touch", "--date", "2020-01-02T03:04:05Z", "/Work/a")
        self.ok("mv", "/Work/a", "/Work/b")
        self.ok("ln", "-s", "b", "/Work/soft")
        self.ok("ln", "/Work/b", "/Work/hard")
        self.ok("touch", "--date", "@86400", "/Work/Sub")
        listing = {e["name"]: e for e in self.json("ls", "-l", "/Work")}
        self.assertEqual(sorted(listing), ["Sub", "b", "hard", "soft"])
        self.assertEqual(listing["b"]["mtime"], "2020-01-02T03:04:05Z")
        self.assertEqual(listing["Sub"]["mtime"], "1970-01-02T00:00:00Z")
        self.assertEqual((listing["soft"]["type"], listing["soft"]["target"]), ("link", "b"))
        self.assertIn("mkdir /Work: already exists [AFCDirectoryCreate 0x0010]",
                      self.fails(DEVICE_ERROR, "mkdir", "/Work"))
        self.assertIn("can't read the date", self.fails(USAGE, "touch", "--date", "2020-02-30", "/Work/b"))
        self.assertIn("rm /Work:", self.fails(DEVICE_ERROR, "rm", "/Work"))
        # A link to a directory is removed, not followed: what it points at stays.
        self.ok("ln", "-s", "/Books", "/Work/Sub/books")
        self.ok("rm", "-r", "/Work")
        self.assertEqual(self.ok("ls"), "Books\nDCIM\n")
        self.assertEqual(self.ok("ls", "/Books"), "Welcome.txt\n")


class Terminal(ToolTest):
    """What a terminal shows of names from a device: never a control it would act on."""

    def assertInert(self, text):
        for control in ["\x1b", "\x9b", "\u202e", "\ufffd"]:  # the last: a byte that is not UTF-8
            self.assertNotIn(control, text)

    def test_listings_show_names_escaped_and_json_keeps_them(self):
        self.sim.command("lenient usb-0001")  # names no device makes, though one may list them
        self.ok("mkdir", b"/csi\x9b7m", "/photo\u202egpj.exe".encode(), b"/c1\xc2\x9b7m", b"/Odd\x1b[31mname\xff",
                "/Caf\u00e9 \u6771\u4eac \U0001F600".encode())
        process, text = self.run_on_terminal("ls", output=True)
        self.assertEqual(process.returncode, 0, text)
        self.assertInert(text)
        for shown in ["csi\\x9b7m", "photo\\u202egpj.exe", "c1\\u009b7m", "Odd\\x1b[31mname\\xff",
                      "Caf\u00e9 \u6771\u4eac \U0001F600"]:
            self.assertIn("\r\n" + shown + "\r\n", text)
        output = self.tool("--json", "ls").stdout
        self.assertIn(b'"photo\\u202egpj.exe"', output)
        self.assertIn({"name": "Odd\x1b[31mname\ufffd", "nameBase64": "T2RkG1szMW1uYW1l/w=="}, json.loads(output))

    def test_a_failure_message_shows_the_path_it_carries_escaped(self):
        self.sim.command("lenient usb-0001")  # paths deeper than a device's reach
        self.ok("mkdir", *["/" + "/".join(["\x1b[7m"] * depth) for depth in range(1, 516)])
        process, text = self.run_on_terminal("tree", "/", output=True)
        # What is too deep is named and left out; the rest is listed.
        self.assertEqual(process.returncode, PARTIAL, text)
        self.assertInert(text)
        self.assertRegex(text, r"(?m)^keldo-device: tree /(\\x1b\[7m/)+\\x1b\[7m: deeper than 512 levels; not listed\r$")
        self.assertIn("\r\n/\\x1b[7m/\r\n", text)

    def test_the_simulator_answers_with_names_escaped(self):
        self.sim.process.stdin.write("detach \x1b[7m\u202e\nfrobnicate\x9b\n")
        self.sim.process.stdin.flush()
        self.assertEqual(self.sim.process.stdout.readline(), "error: \\x1b[7m\\u202e is not attached\n")
        self.assertEqual(self.sim.process.stdout.readline(), "error: unknown command frobnicate\\u009b\n")


class TransferTest(ToolTest):
    def make_tree(self):
        """album/ with a.txt, sub/b.bin, a link to a.txt and a link to sub/."""
        self.b_bin = os.urandom(100_000)
        self.write(self.local("album", "a.txt"), b"abc")
        self.write(self.local("album", "sub", "b.bin"), self.b_bin)
        os.symlink("a.txt", self.local("album", "to-a"))
        os.symlink("sub", self.local("album", "to-sub"))
        return self.local("album")

    def big_file(self, name, mebibytes):
        path = self.local(name)
        with open(path, "wb") as f:
            f.truncate(mebibytes << 20)
        return path

    def remote_copies(self, directory, count, mebibytes):
        """A remote directory of `count` names for one file of that size (hard links: one upload)."""
        self.ok("mkdir", directory)
        self.ok("-q", "push", self.big_file("big", mebibytes), directory)
        os.remove(self.local("big"))
        for i in range(1, count):
            self.ok("ln", directory + "/big", "{}/copy-{}".format(directory, i))

    def assertComplete(self, directory, size):
        """Whatever a pull left in the directory is whole, and nothing else is there."""
        for name in os.listdir(directory) if os.path.exists(directory) else []:
            self.assertNotIn(".keldo-", name)
            self.assertEqual(os.path.getsize(os.path.join(directory, name)), size, name)

    def no_temporaries(self, remote="/"):
        """Nothing that an upload leaves on its way is on the device."""
        self.assertEqual([p for p in self.json("tree", remote) if ".keldo-" in str(p)], [])


class Transfers(TransferTest):
    def test_push_uploads_files_and_trees_and_makes_links_again(self):
        album = self.make_tree()
        self.write(self.local("single.txt"), b"one")
        result = self.tool("push", album, self.local("single.txt"), "/Books")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stderr.decode(), r"^push: 3 files, 97\.7 KiB in \d+\.\d s \(.*/s\)\n$")
        self.assertEqual(self.json("tree", "/Books"), [
            "/Books/", "/Books/Welcome.txt", "/Books/album/", "/Books/album/a.txt", "/Books/album/sub/",
            "/Books/album/sub/b.bin", {"path": "/Books/album/to-a", "target": "a.txt"},
            {"path": "/Books/album/to-sub", "target": "sub"}, "/Books/single.txt"])
        self.assertEqual(self.tool("cat", "/Books/album/sub/b.bin").stdout, self.b_bin)
        self.assertEqual(self.tool("-q", "push", self.local("single.txt"), "/DCIM").stderr, b"")
        self.no_temporaries()

    def test_a_failed_push_names_the_path_and_tells_a_part_from_nothing(self):
        self.write(self.local("single.txt"), b"one")
        self.assertIn("push {}: can't make the directory /Nothing/deeper: no such file or directory".format(
            self.make_tree()), self.fails(DEVICE_ERROR, "push", self.local("album"), "/Nothing/deeper"))
        self.assertIn("No such file", self.fails(DEVICE_ERROR, "push", self.local("missing"), "/Books"))
        self.assertIn("push: /Books/Welcome.txt is not a directory on the device",
                      self.fails(DEVICE_ERROR, "push", self.dir, self.local("single.txt"), "/Books/Welcome.txt"))
        # What came before the failing path stays, and the exit status says so.
        self.ok("mkdir", "/Books/single.txt")
        error = self.fails(PARTIAL, "-q", "push", self.local("album"), self.local("single.txt"), "/Books")
        self.assertIn("push {}: /Books/single.txt is a directory; not replaced".format(self.local("single.txt")), error)
        self.assertIn("album", self.json("ls", "/Books"))
        self.no_temporaries()

    def test_pull_downloads_files_and_trees(self):
        self.ok("pull", "/Books/Welcome.txt", self.dir)
        self.assertEqual(self.read("Welcome.txt"), b"Files on a simulated device.\n")
        self.write(self.local("old.txt"), b"a longer text that is replaced")
        self.ok("pull", "-f", "/Books/Welcome.txt", self.local("old.txt"))
        self.assertEqual(self.read("old.txt"), b"Files on a simulated device.\n")

        self.ok("push", self.make_tree(), "/DCIM")
        self.ok("ln", "-s", "../Books", "/DCIM/album/books")
        result = self.tool("pull", "/DCIM", self.local("copy"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stderr.decode(), r"^pull: 3 files, ")
        copy = self.local("copy", "album")
        self.assertEqual(self.read(copy, "sub", "b.bin"), self.b_bin)
        self.assertEqual(os.readlink(os.path.join(copy, "to-sub")), "sub")
        self.assertEqual(os.readlink(os.path.join(copy, "to-a")), "a.txt")
        self.assertEqual(os.readlink(os.path.join(copy, "books")), "../Books")  # made again, not followed
        self.assertEqual(self.read("copy", "100APPLE", "IMG_0001.JPG"), b"\xFF\xD8\xFF\xE0 demo photo")
        self.assertIn("pull /Nothing: no such file or directory", self.fails(DEVICE_ERROR, "pull", "/Nothing", self.dir))

    def test_push_and_pull_again_merge_refuse_replace_or_finish_the_job(self):
        album = self.make_tree()
        self.ok("-q", "push", album, "/Books")
        self.ok("rm", "/Books/album/sub/b.bin")  # as if it had been interrupted there
        # Again: what is there is refused, each named, and the rest still goes.
        result = self.tool("push", album, "/Books")
        self.assertEqual(result.returncode, PARTIAL, result.stderr)
        refused = [line for line in result.stderr.decode().splitlines() if line.startswith("keldo-device:")]
        self.assertEqual(refused, ["keldo-device: push {}/{}: /Books/album/{} exists; not replaced without -f".format(
            album, name, name) for name in ["a.txt", "to-a", "to-sub"]])
        self.assertRegex(result.stderr.decode(), r"push: 1 file, 97\.7 KiB in .*, 3 refused\n$")
        self.assertEqual(self.tool("cat", "/Books/album/sub/b.bin").stdout, self.b_bin)
        # --update leaves alone what is the same, -f replaces.
        self.ok("rm", "/Books/album/sub/b.bin")
        result = self.tool("push", "--update", album, "/Books")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stderr.decode(), r"^push: 1 file, 97\.7 KiB in .*, 3 up to date\n$")
        self.ok("rm", "/Books/album/to-sub")
        self.ok("ln", "-s", "elsewhere", "/Books/album/to-sub")
        self.ok("-q", "push", "-f", album, "/Books")
        self.assertEqual(self.json("tree", "/Books/album")[-1], {"path": "/Books/album/to-sub", "target": "sub"})
        self.no_temporaries()

        # The same the other way, links included.
        self.ok("-q", "pull", "/Books/album", self.local("back"))
        result = self.tool("-q", "pull", "/Books/album/.", self.local("back"))
        self.assertEqual(result.returncode, PARTIAL, result.stderr)
        self.assertEqual(result.stderr.decode().splitlines(), [
            "keldo-device: pull /Books/album/{}: {} exists; not replaced without -f".format(name, self.local("back", name))
            for name in ["a.txt", "sub/b.bin", "to-a", "to-sub"]])
        os.remove(self.local("back", "sub", "b.bin"))
        os.remove(self.local("back", "to-a"))
        os.symlink("elsewhere", self.local("back", "to-a"))
        self.assertIn("to-a exists; not replaced", self.fails(PARTIAL, "-q", "pull", "--update", "/Books/album/.",
                                                              self.local("back")))
        self.assertEqual(self.read("back", "sub", "b.bin"), self.b_bin)
        self.assertEqual(os.readlink(self.local("back", "to-a")), "elsewhere")
        self.ok("-q", "pull", "-f", "--update", "/Books/album/.", self.local("back"))
        self.assertEqual(os.readlink(self.local("back", "to-a")), "a.txt")

    def test_one_source_goes_to_the_name_given_as_cp_has_it(self):
        self.write(self.local("a.txt"), b"alpha")
        self.ok("push", self.local("a.txt"), "/Books/renamed.txt")
        self.assertEqual(self.tool("cat", "/Books/renamed.txt").stdout, b"alpha")
        self.ok("push", "-f", self.local("a.txt"), "/Books/Welcome.txt")
        self.assertEqual(self.tool("cat", "/Books/Welcome.txt").stdout, b"alpha")
        self.assertIn("/Nothing: no such directory on the device",
                      self.fails(DEVICE_ERROR, "push", self.local("a.txt"), "/Nothing/"))
        self.ok("pull", "/Books/renamed.txt", self.local("b.txt"))
        self.assertEqual(self.read("b.txt"), b"alpha")
        self.ok("pull", "/Books/renamed.txt", "/DCIM/100APPLE", self.dir)
        self.assertEqual(sorted(os.listdir(self.dir)), ["100APPLE", "a.txt", "b.txt", "renamed.txt", "usbmuxd"])
        self.assertIn("{} is not a directory".format(self.local("b.txt")),
                      self.fails(DEVICE_ERROR, "pull", "/Books/renamed.txt", "/DCIM", self.local("b.txt")))
        self.assertIn("pull /Books/renamed.txt/: not a directory",
                      self.fails(DEVICE_ERROR, "pull", "/Books/renamed.txt/", self.dir))

    def test_pull_takes_patterns_matched_on_the_device(self):
        for name in ["IMG_0002.JPG", "IMG_0003.MOV", ".hidden.JPG"]:
            self.ok("touch", "/DCIM/100APPLE/" + name)
        self.ok("mkdir", "/DCIM/101APPLE")
        self.ok("touch", "/DCIM/101APPLE/IMG_0100.JPG")
        os.mkdir(self.local("photos"))
        self.ok("-q", "pull", "/DCIM/*/IMG_*.JPG", "/Books/Welcome.txt", self.local("photos") + "/")
        self.assertEqual(sorted(os.listdir(self.local("photos"))),
                         ["IMG_0001.JPG", "IMG_0002.JPG", "IMG_0100.JPG", "Welcome.txt"])
        self.ok("-q", "pull", "/DCIM/1??APPLE/", self.local("photos"))
        self.assertEqual(sorted(os.listdir(self.local("photos", "101APPLE"))), ["IMG_0100.JPG"])
        # Nothing moves when a pattern matches nothing; several matches need a directory to go into.
        self.assertIn("pull /DCIM/*.PNG: no match", self.fails(DEVICE_ERROR, "pull", "/Books/Welcome.txt",
                                                              "/DCIM/*.PNG", self.local("more")))
        self.assertFalse(os.path.exists(self.local("more")))
        self.assertIn("{}: no such directory".format(self.local("more")),
                      self.fails(DEVICE_ERROR, "pull", "/DCIM/100APPLE/*.JPG", self.local("more")))
        self.ok("pull", "/DCIM/100APPLE/*.MOV", self.local("one.mov"))
        self.assertTrue(os.path.isfile(self.local("one.mov")))

    def test_modification_times_go_both_ways_to_the_nanosecond(self):
        times = {"old": -123456789012345678, "now": 1700000000123456789}  # 1966, and 2023
        for name, ns in times.items():
            self.write(self.local("album", name), name.encode())
            os.utime(self.local("album", name), ns=(ns, ns))
        os.utime(self.local("album"), ns=(times["now"], times["now"]))
        self.ok("-q", "push", self.local("album"), "/Books")
        stats = {i["path"]: i["st_mtime"] for i in self.json("stat", "/Books/album", "/Books/album/now")}
        self.assertEqual(stats, {"/Books/album": "2023-11-14T22:13:20Z", "/Books/album/now": "2023-11-14T22:13:20Z"})
        self.ok("-q", "pull", "/Books/album", self.local("back"))
        for name, ns in times.items():
            self.assertLess(abs(os.lstat(self.local("back", name)).st_mtime_ns - ns), 1000, name)
        self.assertLess(abs(os.lstat(self.local("back")).st_mtime_ns - times["now"]), 1000)
        self.ok("-q", "push", "--no-times", self.local("album", "old"), "/Books/fresh")
        self.assertRegex(self.json("stat", "/Books/fresh")["st_mtime"], r"^20")
        self.ok("-q", "pull", "--no-times", "/Books/album/old", self.local("fresh"))
        self.assertGreater(os.lstat(self.local("fresh")).st_mtime_ns, times["now"])

    def test_progress_bar_on_a_terminal(self):
        process, text = self.run_on_terminal("push", self.big_file("big", 8), "/Books")
        self.assertEqual(process.returncode, 0, text)
        frames = text.replace("\r\n", "\n").split("\r")
        self.assertRegex(frames[1], r"^push \[\.+\] 0 B / 8\.0 MiB  0/1 file  0 B/s  --:-- left\x1b\[K$")
        # The bar gives way to a summary.
        self.assertRegex(frames[-1], r"^push: 1 file, 8\.0 MiB in \d+\.\d s \(.*/s\)\x1b\[K\n$")
        # What is refused is said on a line of its own, and the bar comes back below it.
        self.write(self.local("tree", "big"), b"x")
        process, text = self.run_on_terminal("pull", "/Books/big", "/Books/Welcome.txt", self.local("tree"))
        self.assertEqual(process.returncode, PARTIAL, text)
        frames = text.replace("\r\n", "\n").split("\r")
        refusal = "\x1b[Kkeldo-device: pull /Books/big: {} exists; not replaced without -f\n".format(
            self.local("tree", "big"))
        self.assertIn(refusal, frames)
        self.assertRegex(frames[frames.index(refusal) + 1], r"^pull \[.*\] 0 B / 29 B  0/1 file  ")
        self.assertRegex(frames[-1], r"^pull: 1 file, 29 B in .*, 1 refused\x1b\[K\n$")

    def test_a_device_detached_in_the_middle_of_a_push(self):
        def detach_once_going(text, process):
            if "push [#" not in text:
                return False
            self.sim.command("detach usb-0001")
            return True
        start = time.monotonic()
        process, text, _ = self.run_on_terminal("push", self.big_file("big", 512), "/Books", until=detach_once_going)
        self.assertEqual(process.returncode, DEVICE_ERROR, text)
        self.assertLess(time.monotonic() - start, 30)
        message = [line for line in text.splitlines() if line.startswith("keldo-device:")]
        self.assertEqual(len(message), 1, text)
        left = "/Books/\\.big\\.keldo-[0-9a-f-]+"
        self.assertRegex(message[0], "push {}: .* \\(the device no longer answers; {} is left on it\\)$".format(
            self.local("big"), left))
        # Back again: nothing under the real name; what is left is where the message said.
        self.sim.command("attach usb-0001 usb 7.1 USB Phone")
        self.assertRegex(" ".join(self.json("ls", "/Books")), r"^\.big\.keldo-[0-9a-f-]+ Welcome\.txt$")
        self.assertIn(self.json("tree", "/Books")[1], message[0])

    def test_a_device_detached_in_the_middle_of_a_pull(self):
        self.remote_copies("/Books/many", 4, 32)

        def detach_once_going(text, process):
            if "pull [" not in text:
                return False
            self.sim.freeze()  # stops the pull where it is; the detach then ends it
            self.sim.command("detach usb-0001")
            return True
        for _ in range(5):
            process, text, _ = self.run_on_terminal("pull", "/Books/many", self.local("back"),
                                                    until=detach_once_going)
            if process.returncode != 0:
                break
            # Files held in memory can all come over before a busy machine lets the detach out.
            self.sim.command("attach usb-0001 usb 7.1 USB Phone")
            shutil.rmtree(self.local("back"))
        self.assertIn(process.returncode, (DEVICE_ERROR, PARTIAL), text)
        self.assertRegex(text.splitlines()[-1],
                         r"^keldo-device: pull /Books/many/\S+: .* \(the device no longer answers\)$")
        self.assertComplete(self.local("back"), 32 << 20)

    def test_pull_f_replaces_a_file_whose_name_leaves_no_room_for_a_suffix(self):
        self.remote_copies("/Books/many", 1, 1)
        os.mkdir(self.local("back"))
        name = "\u6587" * 80
        self.ok("-q", "mv", "/Books/Welcome.txt", "/Books/" + name)
        self.write(self.local("back", name), b"old")
        self.ok("-q", "pull", "-f", "/Books/many/big", "/Books/" + name, self.local("back"))
        self.assertEqual(os.path.getsize(self.local("back", "big")), 1 << 20)
        self.assertEqual(self.read("back", name), self.tool("cat", "/Books/" + name).stdout)
        self.assertEqual(sorted(os.listdir(self.local("back"))), ["big", name])

    def test_a_file_size_limit_ends_a_pull_with_a_clear_error(self):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        # Read in order over one connection, and in ranges over several.
        for mebibytes in (4, 32):
            self.ok("-q", "push", "-f", self.big_file("big", mebibytes), "/Books")
            shutil.rmtree(self.local("back"), ignore_errors=True)
            os.mkdir(self.local("back"))
            result = subprocess.run([TOOL, "pull", "/Books/big", self.local("back")], env=self.env,
                                    capture_output=True, timeout=60, preexec_fn=limit)
            self.assertEqual(result.returncode, DEVICE_ERROR, result.stderr)
            self.assertEqual(result.stderr.decode(),
                             "keldo-device: pull /Books/big: can't write {}: file too large\n".format(
                                 self.local("back", "big")))
            self.assertEqual(os.listdir(self.local("back")), [])


class Interruptions(TransferTest):
    """Ctrl-C and SIGTERM during transfers, as a user sends them: the tool ends within a second,
    leaves nothing incomplete under a real name, and says what it left."""

    def signal_once_going(self, bar, *signals, freeze=False):
        def act(text, process):
            if bar not in text:
                return False
            if freeze:
                self.sim.freeze()
                time.sleep(0.3)  # the tool waits on the device now
            for i, number in enumerate(signals):
                if i:
                    time.sleep(0.05)  # two at once would be one
                process.send_signal(number)
            return True
        return act

    @staticmethod
    def ended_by(signals):
        """A second signal that comes once the tool is past its work and letting go of the device
        ends it the default way."""
        return (INTERRUPTED,) if len(signals) == 1 else (INTERRUPTED, -signals[-1])

    def left_on_the_device(self, directory):
        return [name for name in self.json("ls", directory) if ".keldo-" in name]

    def test_ctrl_c_stops_a_push_at_its_next_chunk_and_removes_what_it_sent(self):
        big = self.big_file("big", 512)
        for signals in [(signal.SIGINT,), (signal.SIGINT, signal.SIGINT)]:
            process, text, seconds = self.run_on_terminal("push", big, "/Books",
                                                          until=self.signal_once_going("push [#", *signals))
            self.assertIn(process.returncode, self.ended_by(signals), text)
            self.assertLess(seconds, 1.0, text)
            left = self.left_on_the_device("/Books")
            self.assertNotIn("big", self.json("ls", "/Books"))
            if len(signals) == 1:
                self.assertEqual(text.splitlines()[-1], "keldo-device: push: interrupted; /Books/big was not made")
                self.assertEqual(left, [])
            for name in left:  # a second Ctrl-C may end the tool before it cleans up: then it says so
                self.assertIn("/Books/" + name, text)
                self.ok("rm", "/Books/" + name)

    def test_ctrl_c_during_a_pull_ends_it_at_once_and_leaves_no_file_half_written(self):
        self.remote_copies("/Books/many", 8, 64)  # more than a second's worth
        for signals in [(signal.SIGINT,), (signal.SIGINT, signal.SIGINT)]:
            shutil.rmtree(self.local("back"), ignore_errors=True)
            process, text, seconds = self.run_on_terminal("pull", "/Books/many", self.local("back"),
                                                          until=self.signal_once_going("pull [", *signals))
            self.assertIn(process.returncode, self.ended_by(signals), text)
            self.assertLess(seconds, 1.0, text)
            if len(signals) == 1:
                self.assertRegex(text.splitlines()[-1], r"^keldo-device: pull: interrupted")
            self.assertComplete(self.local("back"), 64 << 20)
            self.assertLess(len(os.listdir(self.local("back"))) if os.path.exists(self.local("back")) else 0, 8)

    def test_sigterm_ends_a_transfer_with_a_device_that_stopped_answering(self):
        process, text, seconds = self.run_on_terminal(
            "push", self.big_file("big", 512), "/Books", until=self.signal_once_going("push [#", signal.SIGTERM,
                                                                                     freeze=True))
        self.assertEqual(process.returncode, INTERRUPTED, text)
        self.assertLess(seconds, 1.0, text)
        self.assertRegex(text.splitlines()[-1],
                         r"^keldo-device: push: interrupted; /Books/\.big\.keldo-[0-9a-f-]+ may be left on the device$")
        self.sim.thaw()
        self.assertNotIn("big", self.json("ls", "/Books"))
        for name in self.left_on_the_device("/Books"):
            self.assertIn("/Books/" + name, text.splitlines()[-1])
            self.ok("rm", "/Books/" + name)

        self.remote_copies("/Books/many", 2, 64)
        process, text, seconds = self.run_on_terminal(
            "pull", "/Books/many", self.local("back"), until=self.signal_once_going("pull [", signal.SIGTERM,
                                                                                 freeze=True))
        self.assertEqual(process.returncode, INTERRUPTED, text)
        self.assertLess(seconds, 1.0, text)
        self.assertRegex(text.splitlines()[-1],
                         r"^keldo-device: pull: interrupted(; {}/\S+ is left as it was)+$".format(self.local("back")))
        self.assertComplete(self.local("back"), 64 << 20)



class SlowLink(TransferTest):
    """Transfers over a link of 20 ms each way and 2 MB/s, where one write of a whole chunk
    outlasts Ctrl-C's grace period and two tools' steps interleave."""
    simulator_options = ("--link", "20000/2000000")

    def test_two_pushes_of_one_new_name_at_once_give_one_file_and_one_refusal(self):
        for run in range(3):
            name = "/Books/same-{}".format(run)
            sources = [self.big_file("first", 2), self.local("second")]
            self.write(sources[1], os.urandom(2 << 20))
            pushes = [self.spawn("-q", "push", source, name) for source in sources]
            codes = sorted(push.wait(60) for push in pushes)
            self.assertEqual(codes, [0, PARTIAL], [push.stderr.read() for push in pushes])
            self.assertIn(self.tool("cat", name).stdout, [self.read("first"), self.read("second")])
        self.no_temporaries()

    def test_a_file_saved_at_the_destination_during_a_pull_is_kept(self):
        self.remote_copies("/Books/many", 1, 4)
        os.mkdir(self.local("back"))

        def save_there_meanwhile(text, process):
            if "pull [" not in text:
                return False
            self.sim.freeze()  # the download holds where it is
            self.write(self.local("back", "big"), b"saved meanwhile")
            self.sim.thaw()
            return True
        process, text, _ = self.run_on_terminal("pull", "/Books/many/big", self.local("back"),
                                                until=save_there_meanwhile)
        self.assertEqual(process.returncode, PARTIAL, text)
        self.assertIn("pull /Books/many/big: {} exists; not replaced without -f".format(self.local("back", "big")),
                      text)
        self.assertEqual(self.read("back", "big"), b"saved meanwhile")
        self.assertEqual(os.listdir(self.local("back")), ["big"])

    def test_ctrl_c_during_a_slow_push_removes_what_it_sent(self):
        big = self.big_file("big", 16)
        for _ in range(3):
            process, text, seconds = self.run_on_terminal(
                "push", big, "/Books", until=Interruptions.signal_once_going(self, "push [#", signal.SIGINT))
            self.assertEqual(process.returncode, INTERRUPTED, text)
            self.assertLess(seconds, 1.0, text)
            self.assertEqual(text.splitlines()[-1], "keldo-device: push: interrupted; /Books/big was not made")
            self.assertEqual(Interruptions.left_on_the_device(self, "/Books"), [])


class Habits(ToolTest):
    """What users of cp, rm and ls expect of the same commands here."""

    def test_mkdir_p_makes_parents_and_takes_what_is_there(self):
        self.ok("mkdir", "-p", "/A/B/C", "/Books")
        self.ok("--json", "mkdir", "--parents", "/A/B/C/D")
        self.assertEqual(self.json("tree", "/A"), ["/A/", "/A/B/", "/A/B/C/", "/A/B/C/D/"])
        self.ok("ln", "-s", "/A", "/L")
        self.ok("mkdir", "-p", "/L/B/E")  # through a link to a directory
        self.assertIn("E", self.json("ls", "/A/B"))
        error = self.fails(DEVICE_ERROR, "mkdir", "-p", "/Books/Welcome.txt/x")
        self.assertIn("/Books/Welcome.txt is there and is no directory", error)
        self.assertIn("already exists", self.fails(DEVICE_ERROR, "mkdir", "/A"))

    def test_rm_f_says_nothing_of_what_is_not_there(self):
        for args in [("rm", "-f", "/Nothing"), ("rm", "-rf", "/Nothing", "/Nothing/x"), ("rm", "-f"),
                     ("rm", "--force", "/DCIM/*.PNG")]:
            result = self.tool(*args)
            self.assertEqual((result.returncode, result.stderr), (0, b""), args)
        self.ok("mkdir", "-p", "/T/a/b")
        self.ok("rm", "-fr", "/Nothing", "/T")
        self.assertEqual(self.ok("ls"), "Books\nDCIM\n")
        self.assertIn("no such file or directory", self.fails(DEVICE_ERROR, "rm", "/Nothing"))
        self.assertIn('refusing to remove "." or ".."', self.fails(DEVICE_ERROR, "rm", "-rf", "/DCIM/100APPLE/.."))
        self.fails(USAGE, "rm", "-rf", "/Books/..")  # the root, still refused with -f

    def test_short_options_bundle_and_a_double_dash_ends_them(self):
        self.assertEqual(self.ok("ls", "-la", "/Books"), self.ok("ls", "-l", "-a", "/Books"))
        self.assertEqual(self.ok("-qvuusb-0001", "ls", "/Books").strip(), "Welcome.txt")
        self.ok("touch", "--", "-f")
        self.assertEqual(self.json("ls"), ["-f", "Books", "DCIM"])
        self.ok("rm", "--", "-f")
        self.assertIn("ls: unknown option -x", self.fails(USAGE, "ls", "-lx"))
        self.assertIn("option -u needs a value", self.fails(USAGE, "ls", "-qu"))

    def test_patterns_in_ls_rm_and_stat(self):
        for name in ["IMG_0002.JPG", "IMG_0003.MOV", ".IMG_0004.JPG", "Song [Live].m4a", "a*b"]:
            self.ok("touch", "/DCIM/100APPLE/" + name)
        self.ok("mkdir", "/DCIM/101APPLE")
        self.ok("touch", "/DCIM/101APPLE/IMG_0005.JPG")
        self.assertEqual(self.ok("ls", "/DCIM/*/IMG_000[1-5].JPG"),
                         "/DCIM/100APPLE/IMG_0001.JPG\n/DCIM/100APPLE/IMG_0002.JPG\n/DCIM/101APPLE/IMG_0005.JPG\n")
        self.assertEqual(self.ok("ls", "/DCIM/*/"), "/DCIM/100APPLE/:\n.IMG_0004.JPG\nIMG_0001.JPG\nIMG_0002.JPG\n"
                         "IMG_0003.MOV\nSong [Live].m4a\na*b\n\n/DCIM/101APPLE/:\nIMG_0005.JPG\n")
        self.assertEqual([i["path"] for i in self.json("stat", "/DCIM/10?APPLE/*.MOV")], ["/DCIM/100APPLE/IMG_0003.MOV"])
        self.assertEqual(self.json("stat", "/DCIM/100APPLE/Song [Live].m4a")[0]["path"], "/DCIM/100APPLE/Song [Live].m4a")
        self.assertEqual(self.json("stat", "/DCIM/100APPLE/a\\*b")["path"], "/DCIM/100APPLE/a*b")
        self.assertEqual(self.fails(DEVICE_ERROR, "ls", "/DCIM/*.PNG"), "keldo-device: ls /DCIM/*.PNG: no match\n")
        self.ok("rm", "/DCIM/*/IMG_*.JPG")
        self.assertEqual(self.json("ls", "/DCIM/100APPLE"), [".IMG_0004.JPG", "IMG_0003.MOV", "Song [Live].m4a", "a*b"])
        self.assertEqual(self.json("ls", "/DCIM/101APPLE"), [])
        self.ok("rm", "-r", "/DCIM/1*")
        self.assertEqual(self.json("ls", "/DCIM"), [])
        # A name there as written is meant, not what it matches as a pattern.
        self.ok("touch", "/DCIM/photo1.jpg", "/DCIM/photo[1].jpg")
        self.ok("rm", "/DCIM/photo[1].jpg")
        self.assertEqual(self.json("ls", "/DCIM"), ["photo1.jpg"])

    def test_ls_of_several_paths_lists_files_first_then_each_directory(self):
        self.ok("mkdir", "/Empty")
        self.assertEqual(self.ok("ls", "/DCIM", "/Books/Welcome.txt", "/Empty"),
                         "/Books/Welcome.txt\n\n/DCIM:\n100APPLE\n\n/Empty:\n")
        self.assertEqual(self.json("ls", "/Empty", "/Books"),
                         [{"path": "/Books", "entries": ["Welcome.txt"]}, {"path": "/Empty", "entries": []}])
        # A pattern gives the same shape whatever it matched, for a script to rely on.
        self.assertEqual(self.json("ls", "/Boo*"), [{"path": "/Books", "entries": ["Welcome.txt"]}])

    def test_mv_replaces_only_when_forced_and_moves_into_directories(self):
        self.ok("touch", "/Books/a")
        self.ok("mkdir", "/Dir")
        error = self.fails(DEVICE_ERROR, "mv", "/Books/Welcome.txt", "/Books/a")
        self.assertEqual(error, "keldo-device: mv /Books/Welcome.txt: /Books/a exists; not replaced (-f replaces it)\n")
        self.assertEqual(self.json("ls", "/Books"), ["Welcome.txt", "a"])
        self.ok("mv", "-f", "/Books/Welcome.txt", "/Books/a")
        self.assertEqual(self.tool("cat", "/Books/a").stdout, b"Files on a simulated device.\n")
        self.ok("touch", "/Books/b", "/Dir/b")
        result = self.tool("mv", "/Books/a", "/Books/b", "/Dir")  # the one that is there is refused, not the other
        self.assertEqual(result.returncode, DEVICE_ERROR)
        self.assertIn("/Dir/b exists; not replaced", result.stderr.decode())
        self.assertEqual((self.json("ls", "/Books"), self.json("ls", "/Dir")), (["b"], ["a", "b"]))
        self.assertIn("is no directory to move 2 paths into", self.fails(DEVICE_ERROR, "mv", "/Dir/a", "/Dir/b", "/Books/b"))
        self.assertIn("it is /Dir/a already", self.fails(DEVICE_ERROR, "mv", "/Dir/a", "/Dir"))


class Errors(ToolTest):
    """Failures in words, with the call and its status after them."""

    def test_failures_say_in_words_what_went_wrong(self):
        self.ok("mkdir", "-p", "/Full/sub")
        self.assertEqual(self.fails(DEVICE_ERROR, "rm", "/Full"),
                         "keldo-device: rm /Full: directory not empty (use -r) [AFCRemovePath 0xE8004021]\n")
        self.assertEqual(self.fails(DEVICE_ERROR, "cat", "/Nothing"),
                         "keldo-device: cat /Nothing: no such file or directory [AFCFileRefOpen 0x0008]\n")
        self.sim.command("attach-unpaired lone-4 usb 9.0 Lone Phone")
        self.assertIn("not paired", self.fails(DEVICE_ERROR, "-u", "lone-4", "info"))

    def test_verbose_shows_the_device_calls_and_the_library_lines(self):
        self.ok("mkdir", "-p", "/Full/sub")
        result = self.tool("-v", "rm", "/Full")
        lines = result.stderr.decode().splitlines()
        self.assertEqual(result.returncode, DEVICE_ERROR)
        self.assertIn('keldo-device: log: using usb-0001 "USB Phone" over usb', lines)
        self.assertIn('keldo-device: log: AMDeviceStartService "com.apple.afc": ok', lines)
        self.assertIn('keldo-device: log: AFCRemovePath "/Full": directory not empty [0xE8004021]', lines)
        self.assertEqual(lines[-2:], ["keldo-device: rm /Full: directory not empty (use -r) [AFCRemovePath 0xE8004021]",
                                      "keldo-device: log: AFCConnectionClose: ok"])
        self.assertEqual(self.tool("rm", "/Full").stderr.count(b"\n"), 1)  # and without -v, nothing more
        self.write(self.local("tree", "dangling"), b"")
        os.remove(self.local("tree", "dangling"))
        os.symlink("nowhere", self.local("tree", "dangling"))
        result = self.tool("-v", "-q", "push", self.local("tree"), "/Books")
        self.assertIn(b"keldo-device: log: ", result.stderr)


class Json(ToolTest):
    def test_names_that_are_not_utf8_keep_their_bytes(self):
        raw = b"/Books/caf\xe9"  # Latin-1, as an old program wrote it
        self.sim.command("lenient usb-0001")  # which a device's own file system would refuse
        self.ok("mkdir", raw)
        self.ok("ln", "-s", b"caf\xe9", b"/Books/link\xff")
        self.assertIn({"name": "caf\ufffd", "nameBase64": base64.b64encode(b"caf\xe9").decode()}, self.json("ls", "/Books"))
        rows = {r["name"]: r for r in self.json("ls", "-l", "/Books")}
        self.assertEqual(base64.b64decode(rows["link\ufffd"]["nameBase64"]), b"link\xff")
        self.assertEqual(base64.b64decode(rows["link\ufffd"]["targetBase64"]), b"caf\xe9")
        self.assertNotIn("nameBase64", rows["Welcome.txt"])
        tree = self.json("tree", "/Books")
        self.assertIn({"path": "/Books/caf\ufffd/", "pathBase64": base64.b64encode(raw + b"/").decode()}, tree)
        link = [e for e in tree if isinstance(e, dict) and "target" in e][0]
        self.assertEqual(base64.b64decode(link["pathBase64"]), b"/Books/link\xff")
        # The bytes name the file again.
        info = self.json("stat", base64.b64decode(link["pathBase64"]))
        self.assertEqual(base64.b64decode(info["LinkTargetBase64"]), b"caf\xe9")
        self.assertEqual(base64.b64decode(info["pathBase64"]), b"/Books/link\xff")


class Apps(ToolTest):
    """Apps and their Documents: the device's installation_proxy and house_arrest, as keldo-devsim plays them."""
    PLAYER = "org.example.player"

    def setUp(self):
        super().setUp()
        self.sim.command("install usb-0001 {} 2.1 Film Player".format(self.PLAYER))
        self.sim.command("install-private usb-0001 org.example.notes 1.0 Notes")

    def test_apps_lists_those_that_share_their_documents(self):
        self.assertEqual(self.ok("apps").splitlines(),
                         ["BUNDLE ID              NAME         VERSION",
                          "org.example.player     Film Player  2.1",
                          "org.keldo.demo.player  Demo Player  1.0"])
        every = self.json("apps", "--all")
        self.assertEqual([(a["bundleIdentifier"], a["sharesDocuments"]) for a in every],
                         [("org.example.notes", False), (self.PLAYER, True), ("org.keldo.demo.player", True)])
        self.assertEqual(every[1], {"bundleIdentifier": self.PLAYER, "name": "Film Player", "version": "2.1",
                                    "sharesDocuments": True})
        self.sim.command("uninstall usb-0001 " + self.PLAYER)
        self.assertNotIn(self.PLAYER, self.ok("-v", "apps"))

    def test_file_commands_work_in_the_apps_documents(self):
        app = ("--app", self.PLAYER)
        self.write(self.local("film.mp4"), b"frames")
        self.ok(*app, "-q", "push", self.local("film.mp4"), "/")
        self.ok(*app, "mkdir", "-p", "/Films/2024")
        self.ok(*app, "mv", "/film.mp4", "/Films/2024")
        self.assertEqual(self.ok(*app, "tree").splitlines(), ["/", "/Films/", "/Films/2024/", "/Films/2024/film.mp4"])
        self.assertEqual(self.ok(*app, "cat", "/Films/2024/film.mp4"), "frames")
        self.assertEqual(self.json(*app, "stat", "/Films/2024/film.mp4")["st_size"], 6)
        self.ok(*app, "-q", "pull", "/Films", self.local("back"))
        self.assertEqual(self.read("back", "2024", "film.mp4"), b"frames")
        # ".." leads nowhere above the Documents; the container holds them, the media area does not.
        self.assertEqual(self.ok(*app, "ls", "/../.."), "Films\n")
        self.assertEqual(self.ok("--container", self.PLAYER, "ls"), "Documents\nLibrary\ntmp\n")
        self.assertEqual(self.ok("--container", self.PLAYER, "ls", "/Documents/Films/2024"), "film.mp4\n")
        self.assertNotIn("Films", self.ok("ls"))
        self.ok(*app, "rm", "-r", "/Films")
        self.assertEqual(self.ok(*app, "ls"), "")
        # The app's files outlive detaching, as the media do.
        self.ok(*app, "mkdir", "/Kept")
        self.sim.command("detach usb-0001")
        self.sim.command("attach usb-0001 usb 7.1 USB Phone")
        self.assertEqual(self.ok(*app, "-v", "ls"), "Kept\n")

    def test_an_app_that_is_absent_or_does_not_share_is_refused_in_words(self):
        for app in ["org.example.absent", "org.example.notes"]:
            error = self.fails(DEVICE_ERROR, "--app", app, "ls")
            self.assertEqual(error, "keldo-device: can't open the Documents of {} on usb-0001: no app {} that shares "
                                    "its documents is installed (InstallationLookupFailed)\n".format(app, app))
        self.assertIn("--app is for the file commands only", self.fails(USAGE, "--app", self.PLAYER, "list"))


class Completion(ToolTest):
    """The bash completion in a real bash on a pseudo-terminal, with and without bash-completion."""
    devices = ["usb-0001 usb 7.1 USB Phone", "net-0002 network 9.3 Net Phone"]
    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../src/tools/device/keldo-device.bash-completion")
    LIBRARY = "/usr/share/bash-completion/bash_completion"

    def start_bash(self, with_library):
        env = dict(self.env, PATH=os.path.dirname(os.path.abspath(TOOL)) + ":" + os.environ["PATH"], TERM="dumb",
                   INPUTRC="/dev/null", HOME=self.dir)
        pid, self.terminal = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"], env)
        self.addCleanup(self.stop_bash, pid)
        setup = "PS1='$ '; "
        if with_library:
            setup += "source {}; ".format(self.LIBRARY)
        # Ctrl-X Ctrl-P shows the line as readline holds it.
        setup += "source {}; bind -x '\"\\C-x\\C-p\": printf \"<<%s>>\\n\" \"$READLINE_LINE\"'; echo READ''Y\n"
        os.write(self.terminal, setup.format(self.SCRIPT).encode())
        self.read_until(b"READY\r\n")

    def stop_bash(self, pid):
        os.write(self.terminal, b"\x15exit\n")
        os.waitpid(pid, 0)
        os.close(self.terminal)

    def read_until(self, marker):
        text = b""
        while marker not in text:
            ready, _, _ = select.select([self.terminal], [], [], 30)
            self.assertTrue(ready, text)
            text += os.read(self.terminal, 4096)
        return text

    def complete(self, line):
        """The command line after a Tab at its end."""
        os.write(self.terminal, line.encode() + b"\t\x18\x10")
        text = self.read_until(b">>\r\n")
        os.write(self.terminal, b"\x15")  # the line is emptied for the next one
        return text[text.rindex(b"<<") + 2:text.rindex(b">>")].decode()

    def candidates(self, line):
        """What the completion function offers for the last word of `line`, one per line."""
        words = line.split(" ")
        script = "COMP_WORDS=({}); COMP_CWORD={}; COMP_LINE='{}'; COMP_POINT={}; _keldo_device; " \
                 "printf '[%s]\\n' \"${{COMPREPLY[@]}}\"; echo DO''NE\n"
        os.write(self.terminal, script.format(" ".join("'{}'".format(w) for w in words), len(words) - 1, line,
                                              len(line)).encode())
        text = self.read_until(b"DONE\r\n").decode()
        return re.findall(r"^\[(.*)\]\r$", text[:text.rindex("DONE")], re.M)

    def test_completes_remote_paths_commands_and_options(self):
        self.ok("-u", "usb-0001", "mkdir", "/Books/My Files")
        for with_library in [True, False]:
            if with_library and not os.path.exists(self.LIBRARY):
                continue
            self.start_bash(with_library)
            # Two devices: without the -u given, no listing would answer.
            self.assertEqual(self.complete("keldo-device -u usb-0001 ls /Bo"), "keldo-device -u usb-0001 ls /Books/")
            self.assertEqual(self.complete("keldo-device --udid=usb-0001 cat /Books/W"),
                             "keldo-device --udid=usb-0001 cat /Books/Welcome.txt ")
            self.assertEqual(self.complete("keldo-device -uusb-0001 rm -rf -- /Books/My"),
                             "keldo-device -uusb-0001 rm -rf -- /Books/My\\ Files/")
            self.assertEqual(self.complete("keldo-device -u usb-0001 ls '/Books/My"),
                             "keldo-device -u usb-0001 ls '/Books/My Files/'")
            self.assertEqual(self.complete("keldo-device -u usb-0001 ls /Books/My\\ F"),
                             "keldo-device -u usb-0001 ls /Books/My\\ Files/")
            self.assertEqual(self.complete("keldo-device rm --no"), "keldo-device rm --no-preserve-root ")
            self.assertEqual(sorted(self.candidates("keldo-device -u ")), ["net-0002", "usb-0001"])
            self.assertEqual(self.complete("keldo-device -u usb-0001 --app org.keldo.demo.p"),
                             "keldo-device -u usb-0001 --app org.keldo.demo.player ")
            self.assertEqual(self.complete("keldo-device -u usb-0001 --app org.keldo.demo.player cat /W"),
                             "keldo-device -u usb-0001 --app org.keldo.demo.player cat /Welcome.txt ")
            self.stop_bash_now()
        # What the completion offers as commands is what --help lists.
        self.start_bash(False)
        offered = self.candidates("keldo-device ")
        listed = re.findall(r"^  ([a-z]+)", self.ok("--help"), re.M)
        self.assertEqual(offered, listed)

    def stop_bash_now(self):
        cleanup = self._cleanups.pop()
        cleanup[0](*cleanup[1])

if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    TOOL, DEVSIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
