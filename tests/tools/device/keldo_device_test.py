#!/usr/bin/env python3
"""keldo-device driven as a user drives it, against keldo-devsim on a private usbmuxd socket.

Usage: keldo_device_test.py KELDO-DEVICE KELDO-DEVSIM [unittest arguments, e.g. a test class]
"""
import json
import os
import pty
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

    def __init__(self, directory, devices):
        self.socket = os.path.join(directory, "usbmuxd")
        args = [DEVSIM, "--socket", self.socket]
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

    def freeze(self):
        """The device stops answering (and, for now, the whole simulator)."""
        self.process.send_signal(signal.SIGSTOP)

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        self.thaw()
        self.process.terminate()
        self.process.wait(10)
        self.process.stdin.close()
        self.process.stdout.close()


class ToolTest(unittest.TestCase):
    devices = ["usb-0001 usb 7.1 USB Phone"]

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.sim = Simulator(self.dir, self.devices)
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
        return subprocess.Popen([TOOL, *args], env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

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
            for command in ["list", "info", "watch", "devinfo", "ls", "tree", "stat", "mkdir", "rm", "mv", "ln",
                            "touch", "push", "pull", "cat"]:
                self.assertIn("\n  " + command, result.stdout)
        for args in [("ls", "--help"), ("help", "ls"), ("--help", "ls", "-l")]:
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 0, args)
            self.assertTrue(result.stdout.startswith("Usage: keldo-device [OPTIONS] ls [-l] [PATH]"), result.stdout)


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
        self.assertIn("2 devices are attached; choose one with -u UDID", self.fails(DEVICE_ERROR, "info"))
        self.assertIn("no device with udid other-3 is attached", self.fails(DEVICE_ERROR, "-u", "other-3", "info"))
        self.assertEqual(self.json("info", "-u", "net-0002", "--key", "DeviceName"), "Net Phone")

    def test_info_reads_all_values_or_one(self):
        values = self.json("-u", "usb-0001", "info")
        self.assertEqual((values["DeviceName"], values["ProductVersion"]), ("USB Phone", "7.1"))
        self.assertIn("UniqueDeviceID: usb-0001\n", self.ok("-u", "usb-0001", "info"))
        self.assertIn("no value for NoSuchKey", self.fails(DEVICE_ERROR, "-u", "usb-0001", "info", "--key", "NoSuchKey"))

    def test_wait_takes_a_device_that_comes_later(self):
        self.sim.command("detach usb-0001")
        self.sim.command("detach net-0002")
        self.assertEqual(self.json("list"), [])
        self.assertIn("no device attached", self.fails(DEVICE_ERROR, "info"))
        waiting = self.spawn("--wait", "20", "-u", "late-3", "--json", "info", "--key", "DeviceName")
        time.sleep(1)
        self.sim.command("attach late-3 usb 8.0 Late Phone")
        out, err = waiting.communicate(timeout=30)
        self.assertEqual((waiting.returncode, json.loads(out)), (0, "Late Phone"), err)
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
        self.assertEqual(json.loads(watch.stdout.readline())["event"], "detached")
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
        self.assertIn("ls /Nothing: AFCDirectoryOpen failed: Return code = 0x0008 (no such file or directory)", error)

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
        self.fails(USAGE, "mv", "/Books", "/")
        self.assertEqual(self.ok("tree"), before)
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
        self.assertIn("stat /Nothing: AFCFileInfoOpen failed", result.stderr.decode())
        self.assertIsInstance(self.json("devinfo")["FSTotalBytes"], int)

    def test_contents_come_byte_for_byte(self):
        self.assertEqual(self.tool("cat", "/DCIM/100APPLE/IMG_0001.JPG").stdout, b"\xFF\xD8\xFF\xE0 demo photo")
        self.assertIn("cat /Books: AFCFileRefOpen failed", self.fails(DEVICE_ERROR, "cat", "/Books"))

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
        self.assertIn("mkdir /Work: AFCDirectoryCreate failed: Return code = 0x0010 (already exists)",
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
        self.assertIn("Odd\x1b[31mname\ufffd", json.loads(output))

    def test_a_failure_message_shows_the_path_it_carries_escaped(self):
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
        self.ok("push", self.local("single.txt"), "/Books")
        error = self.fails(DEVICE_ERROR, "push", self.local("single.txt"), "/Books")
        self.assertIn("push {}: Won't overwrite existing file".format(self.local("single.txt")), error)
        self.assertIn("push /Nothing: AFCFileInfoOpen failed", self.fails(DEVICE_ERROR, "push", self.dir, "/Nothing"))
        self.assertIn("not a directory", self.fails(DEVICE_ERROR, "push", self.dir, "/Books/Welcome.txt"))
        self.assertIn("No such file", self.fails(DEVICE_ERROR, "push", self.local("missing"), "/Books"))
        # What came before the failing path stays, and the exit status says so.
        error = self.fails(PARTIAL, "-q", "push", self.make_tree(), self.local("single.txt"), "/Books")
        self.assertIn("push {}: Won't overwrite existing file".format(self.local("single.txt")), error)
        self.assertIn("album", self.json("ls", "/Books"))
        self.no_temporaries()

    def test_pull_downloads_files_and_trees(self):
        self.ok("pull", "/Books/Welcome.txt", self.dir)
        self.assertEqual(self.read("Welcome.txt"), b"Files on a simulated device.\n")
        self.write(self.local("old.txt"), b"a longer text that is replaced")
        self.ok("pull", "/Books/Welcome.txt", self.local("old.txt"))
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
        self.assertIn("pull /Nothing: AFCFileInfoOpen failed", self.fails(DEVICE_ERROR, "pull", "/Nothing", self.dir))

    def test_progress_bar_on_a_terminal(self):
        process, text = self.run_on_terminal("push", self.big_file("big", 8), "/Books")
        self.assertEqual(process.returncode, 0, text)
        frames = text.replace("\r\n", "\n").split("\r")
        self.assertRegex(frames[1], r"^push \[\.+\] 0 B / 8\.0 MiB  0 B/s  --:-- left\x1b\[K$")
        self.assertRegex(frames[-1], r"^push \[#+\] 8\.0 MiB / 8\.0 MiB  .*/s  0:00 left\x1b\[K\n$")
        self.assertGreater(len(frames), 2, text)

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
            self.sim.command("detach usb-0001")
            return True
        process, text, _ = self.run_on_terminal("pull", "/Books/many", self.local("back"), until=detach_once_going)
        self.assertIn(process.returncode, (DEVICE_ERROR, PARTIAL), text)
        self.assertRegex(text.splitlines()[-1],
                         r"^keldo-device: pull /Books/many/\S+: .* \(the device no longer answers\)$")
        self.assertComplete(self.local("back"), 32 << 20)

    def test_a_file_size_limit_ends_a_pull_with_a_clear_error(self):
        self.ok("-q", "push", self.big_file("big", 4), "/Books")
        os.mkdir(self.local("back"))

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        result = subprocess.run([TOOL, "pull", "/Books/big", self.local("back")], env=self.env, capture_output=True,
                                timeout=60, preexec_fn=limit)
        self.assertEqual(result.returncode, DEVICE_ERROR, result.stderr)
        self.assertEqual(result.stderr.decode(),
                         "keldo-device: pull /Books/big: Can't write output file: File too large\n")
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
                         r"^keldo-device: pull: interrupted; {}/\S+ is left as it was$".format(self.local("back")))
        self.assertComplete(self.local("back"), 64 << 20)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    TOOL, DEVSIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
