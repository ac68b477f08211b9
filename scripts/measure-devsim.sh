#!/usr/bin/env bash
# How keldo-devsim's usbmuxd side holds up under clients that misbehave, in figures:
#   1. 1,000 idle client connections held while another client lists the devices (ms);
#   2. 500 attach/detach cycles, without and then with a Listen client that never reads (s);
#   3. `quit` with all of those still there, plus a client stalled half-way through a request
#      and one waiting on a frozen device: the time until the process has ended (ms).
# Usage: scripts/measure-devsim.sh [KELDO-DEVSIM] (default: build/default/src/tools/keldo-devsim)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
devsim=${1:-$here/build/default/src/tools/keldo-devsim}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

python3 - "$devsim" "$dir/usbmuxd" <<'PY'
import plistlib, resource, socket, struct, subprocess, sys, time
devsim, path = sys.argv[1], sys.argv[2]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

sim = subprocess.Popen([devsim, "--socket", path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, text=True, bufsize=1)
assert sim.stdout.readline().startswith("listening")

def command(line):
    sim.stdin.write(line + "\n")
    sim.stdin.flush()
    return sim.stdout.readline()

def packet(request, tag=1):
    body = plistlib.dumps(request)
    return struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body

def client():
    s = socket.socket(socket.AF_UNIX)
    s.connect(path)  # blocking: a full backlog is waited for
    s.settimeout(10)
    return s

def reply(s):
    header = s.recv(16, socket.MSG_WAITALL)
    if len(header) < 16:
        return None
    return plistlib.loads(s.recv(struct.unpack("<I", header[:4])[0] - 16, socket.MSG_WAITALL))

def send(s, data):
    try:
        s.sendall(data)
    except OSError as error:
        print(f"   (a client was refused: {error})")

def cycles(count):
    start = time.monotonic()
    for _ in range(count):
        command("attach cycle-1 usb 17.0 Cycle")
        command("detach cycle-1")
    return time.monotonic() - start

command("attach bench-1 usb 17.0 Bench")
cycles(1)  # the cycling device's key is made once, outside the measurement

idle = []
try:
    for _ in range(1000):
        idle.append(client())
except OSError as error:
    print(f"idle connections: {len(idle)} made, then {error}")
time.sleep(0.5)
lister = None
try:
    start = time.monotonic()
    lister = client()
    lister.sendall(packet({"MessageType": "ListDevices"}))
    answer = reply(lister)
    took = (time.monotonic() - start) * 1000
    listed = len(answer["DeviceList"]) if answer else "no answer"
    print(f"1. ListDevices beside {len(idle)} idle connections: {took:.1f} ms ({listed} device(s))")
except OSError as error:
    print(f"1. ListDevices beside {len(idle)} idle connections: failed ({error})")

# Runs of 500 cycles, alternately without and with the silent listener (the median of five each:
# a run takes a few tens of milliseconds, and the machine is shared).
plain, listened = [], []
silent = None
for run in range(10):
    if run % 2 == 0:
        if silent:
            silent.close()
        plain.append(cycles(500))
        silent = client()
        silent.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        send(silent, packet({"MessageType": "Listen"}))
    else:
        listened.append(cycles(500))
plain, listened = sorted(plain)[2], sorted(listened)[2]
print(f"2. 500 attach/detach cycles: {plain * 1000:.0f} ms alone, {listened * 1000:.0f} ms with a silent listener"
      f" ({listened / plain:.2f} times; medians of five)")

stalled = client()
send(stalled, packet({"MessageType": "ListDevices"})[:10])
command("freeze bench-1")
waiting = client()
send(waiting, packet({"MessageType": "Connect", "DeviceID": 1, "PortNumber": 0x7EF2}))
time.sleep(0.2)
start = time.monotonic()
sim.stdin.write("quit\n")
sim.stdin.flush()
try:
    sim.wait(timeout=30)
    print(f"3. quit after all that: ended in {(time.monotonic() - start) * 1000:.0f} ms (exit {sim.returncode})")
except subprocess.TimeoutExpired:
    sim.kill()
    print("3. quit after all that: still running after 30 s (killed)")
PY
