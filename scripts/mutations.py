#!/usr/bin/env python3
"""Single plausible faults in the local-file layer, each checked against the tests that hold it.

Each mutation replaces one piece of text (which must occur exactly once) in one file, rebuilds
the test binaries and runs their cases; a mutation is caught when a test fails. The file is put
back whatever happens. Run from the repository root after configuring the default preset:

    scripts/mutations.py [NAME-SUBSTRING]
"""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "default"
PLATFORM = ("platform_tests", BUILD / "tests" / "platform_tests", "ReplacementFile*:TemporaryFiles*:PathNames*")
TOOL = ("device_tool_tests", BUILD / "tests" / "tools" / "device" / "device_tool_tests",
        "Transfer*:FileCommands*:RootedBackend*:Watchdog*")

RF = "src/platform/ReplacementFile.cpp"
TF = "src/platform/TemporaryFiles.cpp"
PN = "src/platform/PathNames.cpp"
TR = "src/tools/device/Transfer.cpp"
WD = "src/tools/device/Watchdog.cpp"

# (name, file, text, replacement, suites)
MUTATIONS = [
    ("named temporary put in place over what is there", RF, "    if (options_.replace) {\n        if (::renameat(",
     "    if (true) {\n        if (::renameat(", [PLATFORM]),
    ("named temporary renamed over the target", RF, "RENAME_NOREPLACE", "0", [PLATFORM]),
    ("replaced file's bits left to the umask", RF,
     "    kind_ = Kind::Unnamed;\n    // The mode given at the open has the umask taken off; a replaced file keeps its bits.\n"
     "    if (keepMode_ && ::fchmod(file_.get(), mode_) != 0) return fail();",
     "    kind_ = Kind::Unnamed;", [PLATFORM]),
    ("named temporary's bits left to the umask", RF,
     "        kind_ = Kind::Named;\n        if (keepMode_ && ::fchmod(file_.get(), mode_) != 0) return fail();",
     "        kind_ = Kind::Named;", [PLATFORM]),
    ("named temporary made without O_EXCL", RF, "O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW", "O_RDWR | O_CREAT | O_NOFOLLOW",
     [PLATFORM]),
    ("temporary name tracked only after the link", RF,
     "        ticket_ = TemporaryFiles::track(directory_.get(), candidate);\n        if (ticket_ == TemporaryFiles::kNone) {\n"
     "            error_ = ENFILE;\n            return false;\n        }\n        if (linkUnnamed(file_.get(), directory_.get(), candidate)) {\n"
     "            temporary_ = std::move(candidate);\n",
     "        if (linkUnnamed(file_.get(), directory_.get(), candidate)) {\n"
     "            ticket_ = TemporaryFiles::track(directory_.get(), candidate);\n            temporary_ = std::move(candidate);\n",
     [PLATFORM]),
    ("a link as target not followed", RF, "if (!S_ISLNK(seen.st_mode) || !options_.followLink) return true;",
     "return true;", [PLATFORM]),
    ("a link as entry followed all the same", RF, "if (!S_ISLNK(seen.st_mode) || !options_.followLink) return true;",
     "if (!S_ISLNK(seen.st_mode)) return true;", [PLATFORM]),
    ("copy loses the modification time", RF, "    if (time_) {\n", "    if (false) {\n", [PLATFORM]),
    ("unnamed file that can't be linked fails the download", RF,
     "        if (errno == EEXIST) return fail();\n        return copyToNamed() && placeNamed();",
     "        return fail();", [PLATFORM]),
    ("a pipe written into without replace", RF, "if (special && options_.replace && options_.intoSpecial)",
     "if (special && options_.intoSpecial)", [PLATFORM, TOOL]),
    ("cleanup changes errno", TF, "    errno = savedErrno;\n", "    (void)savedErrno;\n", [PLATFORM]),
    ("the longest path refused", TF, "path.size() > kLongestPath", "path.size() >= kLongestPath", [PLATFORM]),
    ("removal ignores the directory", TF, "::unlinkat(slot.directory, slot.path, 0);", "::unlink(slot.path);",
     [PLATFORM]),
    ("temporary name cut inside a character", PN, "if (kept + length > room) break;", "if (kept + 1 > room) break;",
     [PLATFORM]),
    ("temporary name one byte too long", PN, "kNameMax - 1 - suffix.size()", "kNameMax - suffix.size()", [PLATFORM]),
    ("temporary names repeat", PN, "counter.fetch_add(1)", "counter.load()", [PLATFORM]),
    ("'..' does not climb", PN, "            if (!parts.empty()) parts.pop_back();\n", "", [TOOL]),
    ("'.' kept as a component", PN, '} else if (!part.empty() && part != ".") {', "} else if (!part.empty()) {", [TOOL]),
    ("a sibling counts as inside a directory", TR, "path[directory.size()] == '/'", "true", [TOOL]),
    ("a pulled file reached by its path", TR, "ReplacementFile output(parent, name, {options_.force, item.named, item.named});",
     "ReplacementFile output(item.local, {options_.force, item.named, item.named});", [TOOL]),
    ("a pulled file replaces without -f", TR, "ReplacementFile output(parent, name, {options_.force, item.named, item.named});",
     "ReplacementFile output(parent, name, {true, item.named, item.named});", [TOOL]),
    ("a link inside a tree followed", TR, "ReplacementFile output(parent, name, {options_.force, item.named, item.named});",
     "ReplacementFile output(parent, name, {options_.force, true, item.named});", [TOOL]),
    ("a link named as the target replaced itself", TR,
     "ReplacementFile output(parent, name, {options_.force, item.named, item.named});",
     "ReplacementFile output(parent, name, {options_.force, false, item.named});", [TOOL]),
    ("update ignores the size", TR,
     "const bool same = S_ISREG(seen->st_mode) && static_cast<std::uint64_t>(seen->st_size) == item.size &&",
     "const bool same = S_ISREG(seen->st_mode) &&", [TOOL]),
    ("name taken at the commit reported as a failure", TR,
     "        if (output.error() == EEXIST) return refuse(item, progress, existsText(item.local));\n", "", [TOOL]),
    ("directories of a pull keep no time", TR, "if (options_.times && item.time) {\n            const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};\n            if (::futimens(",
     "if (false) {\n            const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};\n            if (::futimens(", [TOOL]),
    ("a link where a directory goes is a failure", TR, "if (!directory && (errno == ENOTDIR || errno == ELOOP))",
     "if (false)", [TOOL]),
    ("a directory of the tree followed when it is a link", TR,
     "O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC", "O_RDONLY | O_DIRECTORY | O_CLOEXEC", [TOOL]),
    ("a link replaced without -f", TR, "            if (error == EEXIST) return refuse(item, progress, existsText(item.local));\n            return failed(item, progress, fmt::format(\"can't make the link",
     "            return failed(item, progress, fmt::format(\"can't make the link", [TOOL]),
    ("the report changed after the step without holding the watchdog", WD,
     "    std::lock_guard<std::mutex> lock(mutex_);\n    if (spoken_) {\n        errno = EINTR;\n        return false;\n    }\n"
     "    if (!step()) return false;\n    report_ = std::move(after);\n    return true;",
     "    if (!step()) return false;\n    setReport(std::move(after));\n    return true;", [TOOL]),
]


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs).returncode


def main():
    only = sys.argv[1] if len(sys.argv) > 1 else ""
    caught = total = 0
    for name, path, text, replacement, suites in MUTATIONS:
        if only not in name:
            continue
        source = ROOT / path
        original = source.read_text()
        if original.count(text) != 1:
            print(f"?? {name}: the text is not found once in {path}")
            continue
        try:
            source.write_text(original.replace(text, replacement))
            targets = [suite[0] for suite in suites]
            if run(["cmake", "--build", "--preset", "default", "-j2", "--target", *targets]) != 0:
                print(f"-- {name}: does not build")
                continue
            total += 1
            failed = any(run([str(binary), f"--gtest_filter={cases}"], timeout=300) != 0
                         for _, binary, cases in suites)
            caught += failed
            print(f"{'caught' if failed else 'MISSED'} {name}", flush=True)
        finally:
            source.write_text(original)
    print(f"{caught} of {total} caught")
    run(["cmake", "--build", "--preset", "default", "-j2", "--target", PLATFORM[0], TOOL[0]])
    return 0 if caught == total else 1


if __name__ == "__main__":
    sys.exit(main())
