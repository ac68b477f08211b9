#!/usr/bin/env python3
"""A mutation pass: plants one plausible fault at a time in the code that keeps users' data
safe, builds what the tests need and runs them; a fault that no test notices is a promise that
no test holds.

Usage: scripts/mutate.py [--list] [NAME-SUBSTRING...]   (from the source tree, after a build
with the default preset; every file is restored after each fault, also on Ctrl-C)

Prints one line per fault, "caught" or "MISSED", and caught/total at the end.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "default")
UNIT = ("device_tool_tests", "tests/tools/device/device_tool_tests")
PLATFORM = ("platform_tests", "tests/platform_tests")


def unit(binary, pattern):
    return {"target": binary[0], "run": [os.path.join(BUILD, binary[1]), "--gtest_filter=" + pattern]}


def end_to_end(group):
    return {"target": "keldo-device", "run": [
        sys.executable, os.path.join(ROOT, "tests/tools/device/keldo_device_test.py"),
        os.path.join(BUILD, "src/tools/device/keldo-device"), os.path.join(BUILD, "src/tools/keldo-devsim"), group]}


TRANSFER = "src/tools/device/Transfer.cpp"
FILES = "src/tools/device/FileCommands.cpp"
GLOB = "src/tools/device/RemoteGlob.cpp"

# (name, file, text, replacement, how to test)
MUTATIONS = [
    ("push renames over a name without -f too", TRANSFER,
     "    if (options_.force) {\n        if (afc_.renameTo(temporary, item.remote))",
     "    if (true) {\n        if (afc_.renameTo(temporary, item.remote))", unit(UNIT, "TransferTest.*")),
    ("a taken name at the link is not refused", TRANSFER,
     "        if (lastFailureIs(afc_, kAfcExists))\n            return refuse", "        if (false)\n            return refuse",
     unit(UNIT, "TransferTest.*")),
    ("no look before the rename on a device without links", TRANSFER,
     "    if (remoteInfo(item.remote, missing)) return refuse(",
     "    if (false) return refuse(", unit(UNIT, "TransferTest.*")),
    ("a refusal at the link leaves the temporary", TRANSFER,
     "return refuse(item, progress, discard(temporary, existsText(item.remote)));\n        linksRefused_",
     "return refuse(item, progress, existsText(item.remote));\n        linksRefused_", unit(UNIT, "TransferTest.*")),
    ("a file that changed while read is sent", TRANSFER,
     "if (opened && source.state() != opened)", "if (opened && false)",
     unit(UNIT, "TransferTest.*")),
    ("--update looks at the time only", TRANSFER,
     "type == \"S_IFREG\" && sizeOf(*existing) == item.size &&", "type == \"S_IFREG\" &&",
     unit(UNIT, "TransferTest.*")),
    ("duplicates are not looked for", TRANSFER,
     "    markDuplicates(items);\n    return carryOut(items);\n}\n\nbool Transfer::planLocal",
     "    return carryOut(items);\n}\n\nbool Transfer::planLocal", unit(UNIT, "TransferTest.*")),
    ("directories of one name count as duplicates", TRANSFER,
     "!first && item.kind != Item::Kind::Directory", "!first", unit(UNIT, "TransferTest.*")),
    ("a sibling whose name begins with a refused directory's is left out", TRANSFER,
     "path.compare(0, directory.size(), directory) == 0 &&\n           path[directory.size()] == '/'",
     "path.compare(0, directory.size(), directory) == 0", unit(UNIT, "TransferTest.*")),
    ("writes keep the largest chunk whatever the link", TRANSFER,
     "    if (nanoseconds <= 0) return largest;", "    if (nanoseconds > -1) return largest;",
     end_to_end("SlowLink")),
    ("the temporary stays beside the linked file", TRANSFER,
     "            if (afc_.unlink(temporary)) return Outcome::Done;", "            return Outcome::Done;",
     unit(UNIT, "TransferTest.*")),
    ("duplicates are looked for on the source side", TRANSFER,
     "destinations.insert(pushing_ ? item.remote : item.local)", "destinations.insert(pushing_ ? item.local : item.remote)",
     unit(UNIT, "TransferTest.*")),
    ("a file that changed while read is a failure, not a refusal", TRANSFER,
     "        return refuse(item, progress,\n                      discard(temporary, fmt::format(\"changed as we read it",
     "        return failed(item, progress,\n                      discard(temporary, fmt::format(\"changed as we read it",
     unit(UNIT, "TransferTest.*")),
    ("a failed look before the rename renames all the same", TRANSFER,
     "    if (!missing) return failed(item, progress, discard(temporary, withDeviceState(afcFailure())));\n",
     "", unit(UNIT, "TransferTest.*")),
    ("a symbolic link onto a name that came meanwhile stops the push", TRANSFER,
     "        if (lastFailureIs(afc_, kAfcExists)) return refuse(item, progress, existsText(item.remote));\n", "",
     unit(UNIT, "TransferTest.*")),
    ("mv takes an empty destination for the root", FILES,
     "    if (destination.empty()) {", "    if (false) {", unit(UNIT, "FileCommandsTest.*")),
    ("mv moves the root", FILES,
     "        if (normalise(path) != \"/\") continue;\n        console_.error(fmt::format(\"mv:",
     "        continue;\n        console_.error(fmt::format(\"mv:", unit(UNIT, "FileCommandsTest.*")),
    ("rm removes the root's contents", FILES,
     "    if (how.preserveRoot) {\n        for (const auto& path : paths) {\n            if (normalise(path) != \"/\") continue;",
     "    if (false) {\n        for (const auto& path : paths) {\n            if (normalise(path) != \"/\") continue;",
     unit(UNIT, "FileCommandsTest.*")),
    ("rm takes a path that ends in ..", FILES,
     "if ((last == \".\" || last == \"..\") && normalise(given) != \"/\")", "if (false)",
     unit(UNIT, "FileCommandsTest.*")),
    ("a pattern is matched before the entry named as written", GLOB,
     "if ((plain != path || isPattern(path)) && afc_.getFileInfo(path))", "if (false)",
     unit(UNIT, "RemoteGlob*")),
    ("an escaped name is not looked up as written", GLOB,
     "if ((plain != path || isPattern(path)) && afc_.getFileInfo(path))",
     "if (isPattern(path) && afc_.getFileInfo(path))", unit(UNIT, "RemoteGlob*")),
    ("a listed name with a slash is matched", GLOB,
     "if (FileCommands::isSafeName(name) && matches(part, name))", "if (matches(part, name))",
     unit(UNIT, "FileCommandsTest.*:RemoteGlob*")),
    ("the simulator links onto a taken name", "src/platform/simulated/SimulatedFileSystem.cpp",
     "    auto at = resolve(link, false, status);\n    if (!at) return fail(status);\n    if (at->node || !at->parent)",
     "    auto at = resolve(link, false, status);\n    if (!at) return fail(status);\n    if (!at->parent)",
     unit(PLATFORM, "SimulatedFileSystem.*")),
    ("info says 'no value' for a device that forgot this computer", "src/tools/device/DeviceCommands.cpp",
     "} else if (const auto refusal = sessionRefusal(device)) {", "} else if (const auto refusal = std::optional<std::string>()) {",
     end_to_end("Pairing")),
]


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs).returncode


def main():
    wanted = [a for a in sys.argv[1:] if a != "--list"]
    chosen = [m for m in MUTATIONS if not wanted or any(a in m[0] for a in wanted)]
    if "--list" in sys.argv:
        for m in chosen:
            print(m[0])
        return 0
    caught = counted = 0
    for name, path, text, replacement, test in chosen:
        full = os.path.join(ROOT, path)
        with open(full) as f:
            original = f.read()
        if original.count(text) != 1:
            print("stale   {} (its text is not in {} once)".format(name, path))
            continue
        try:
            with open(full, "w") as f:
                f.write(original.replace(text, replacement))
            built = run(["cmake", "--build", "--preset", "default", "-j2", "--target", test["target"]]) == 0
            noticed = not built or run(test["run"], timeout=900) != 0
        finally:
            with open(full, "w") as f:
                f.write(original)
        if not built:
            print("unbuilt {} (left out of the count)".format(name), flush=True)
            continue
        counted += 1
        caught += noticed
        print("{} {}".format("caught " if noticed else "MISSED ", name), flush=True)
    run(["cmake", "--build", "--preset", "default", "-j2", "--target", "device_tool_tests", "platform_tests",
         "keldo-device"])
    print("{}/{} caught".format(caught, counted))
    return 0 if caught == counted else 1


if __name__ == "__main__":
    sys.exit(main())
