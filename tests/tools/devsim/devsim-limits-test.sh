#!/usr/bin/env bash
# keldo-devsim as a server that does not fall over: with more clients connected to a device than
# it has room for (its connection bound, or its address space for threads), it closes the extra
# ones, tells so on stderr, and goes on serving everyone else and its commands; past its descriptor
# limit, the same for idle usbmuxd clients.
# Usage: devsim-limits-test.sh KELDO-DEVSIM [sanitized]
set -euo pipefail
devsim=$1
dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; cat "$dir/out" "$dir/err"; exit 1; }

# Opens N clients at once, each connected to the device's lockdownd (or, with "list", each a
# usbmuxd client only), then asks each and one more for the device's type (the device list): how
# many are served, how many find their connection closed; then, with the others gone, whether a
# new client is served.
clients() {
  python3 - "$dir/usbmuxd" "$1" "${2:-connect}" <<'PY'
import plistlib, socket, struct, sys, time
path, count, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
def packet(request):
    body = plistlib.dumps(request)
    return struct.pack("<IIII", 16 + len(body), 1, 8, 1) + body
def reply(s):
    header = s.recv(16, socket.MSG_WAITALL)
    if len(header) < 16: return None
    return plistlib.loads(s.recv(struct.unpack("<I", header[:4])[0] - 16, socket.MSG_WAITALL))
def connect(s):
    if mode != "list":  # 62078, in network order
        s.sendall(packet({"MessageType": "Connect", "DeviceID": 1, "PortNumber": 0x7EF2}))
def ask(s):
    if mode == "list":
        s.sendall(packet({"MessageType": "ListDevices"}))
        answer = reply(s)
        return answer is not None and len(answer.get("DeviceList", [])) == 1
    answer = reply(s)
    if not answer or answer.get("Number") != 0: return False
    body = plistlib.dumps({"Request": "QueryType"})
    s.sendall(struct.pack(">I", len(body)) + body)
    size = s.recv(4, socket.MSG_WAITALL)
    return len(size) == 4 and len(s.recv(struct.unpack(">I", size)[0], socket.MSG_WAITALL)) > 0
def client():
    s = socket.socket(socket.AF_UNIX); s.connect(path); s.settimeout(20); connect(s); return s
def served(s):
    try: return ask(s)
    except (ConnectionError, BrokenPipeError): return False
idle = [client() for _ in range(count)]
time.sleep(0.5)  # every connection taken, or refused, before the first is asked
results = [served(s) for s in idle]
for s in idle: s.close()
again = False
for _ in range(100):  # the closed ones' places come back as their threads end
    s = client(); again = served(s); s.close()
    if again: break
    time.sleep(0.05)
print(sum(results), len(results) - sum(results), "again" if again else "not-again")
PY
}

start() {
  mkfifo "$dir/in.$1"
  ( ulimit -v "$2"; [ -z "${FILES:-}" ] || ulimit -n "$FILES"; exec "$devsim" --socket "$dir/usbmuxd" --attach "limits-1 usb 17.0 Limits" "${@:3}" <"$dir/in.$1" >"$dir/out" 2>"$dir/err" ) &
  sim=$!
  exec 3>"$dir/in.$1"
  for _ in $(seq 100); do [ -S "$dir/usbmuxd" ] && break; sleep 0.05; done
  [ -S "$dir/usbmuxd" ] || fail "the simulator listens"
}
stop() {
  echo list >&3; echo quit >&3; exec 3>&-
  wait "$sim" || fail "the simulator exits 0 (it exited $?)"
  sim=""
  grep -qx ok "$dir/out" || fail "the simulator answers its commands"
}

# --version: the project's version first, as the top CMakeLists.txt sets it.
version=$(sed -n 's/^project([^ ]* VERSION \([^ ]*\).*/\1/p' "$(dirname "$0")/../../../CMakeLists.txt")
[ "$("$devsim" --version | head -n 1)" = "keldo-devsim $version" ] || fail "--version says keldo-devsim $version"

# The bound: 8 served, the rest closed, and one line on stderr for the whole run of refusals.
start bound unlimited --max-connections 8
read -r served refused again < <(clients 40) || fail "clients reach the simulator"
stop
[ "$served" = 8 ] && [ "$refused" = 32 ] || fail "8 of 40 served, not $served ($refused closed)"
[ "$again" = again ] || fail "served again once clients leave"
[ "$(grep -c 'refusing connections: all places are taken' "$dir/err")" = 1 ] || fail "one line for the run"

# Descriptors: usbmuxd's idle clients cost no place of the bound, only a descriptor each; past the
# process's limit one more is closed at once (never left waiting), told once, and served again
# once others leave.
FILES=48 start files unlimited
read -r served refused again < <(clients 80 list) || fail "clients reach the simulator"
stop
[ "$served" -gt 20 ] && [ "$refused" -gt 0 ] || fail "idle clients served up to the descriptor limit ($served served, $refused closed)"
[ "$again" = again ] || fail "served again once clients leave"
[ "$(grep -c 'refusing connections: no descriptors left' "$dir/err")" = 1 ] || fail "one line for the run"

# A sanitizer's shadow memory does not fit under an address-space limit.
[ "${2:-}" = sanitized ] && { echo "PASS (the address-space limit skipped: sanitized build)"; exit 0; }

# Threads: far more clients than stacks fit into 400 MB of address space.
start threads 400000 --max-connections 1000
read -r served refused again < <(clients 300) || fail "the simulator goes on serving"
stop
[ "$refused" -gt 0 ] || fail "some of 300 refused under the limit ($served served)"
[ "$served" -gt 0 ] && [ "$again" = again ] || fail "the others served ($served), and new ones after"
grep -q 'refusing connections: no thread could be started' "$dir/err" || fail "the refusal is told"
echo "PASS"
