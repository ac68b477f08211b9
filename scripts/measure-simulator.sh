# shellcheck shell=bash
# What the measuring scripts share: a keldo-devsim of their own and the links it models.
# Sourced by them, not run; $devsim names the simulator to run.

simulator=
# start_simulator DIR LINK DEVICE [OPTION...]: keldo-devsim serving DIR/usbmuxd over the modelled
# LINK, with DEVICE attached ("UDID usb VERSION NAME"). The simulator reads commands while it
# runs: its input (fd 3) and its answers (fd 4) stay open until stop_simulator.
start_simulator() {
    local dir=$1 link=$2 attach=$3
    shift 3
    mkfifo "$dir/in" "$dir/out"
    # shellcheck disable=SC2154 # the sourcing script names it
    "$devsim" --socket "$dir/usbmuxd" --link "$link" --attach "$attach" "$@" <"$dir/in" >"$dir/out" &
    simulator=$!
    exec 3>"$dir/in" 4<"$dir/out"
    read -r _ <&4 && read -r _ <&4  # "listening ...", "attached ..."
    export USBMUXD_SOCKET_ADDRESS=UNIX:$dir/usbmuxd
}
stop_simulator() {
    if [ -n "$simulator" ]; then
        kill "$simulator" 2>/dev/null || true
        wait "$simulator" 2>/dev/null || true
        simulator=
    fi
    exec 3>&- 4<&-
}

# A link's rate toward the device in bytes per second, as keldo-devsim models it (0: no limit).
capacity() {
    case $1 in
    usb2) echo 35000000 ;;
    wifi) echo 18000000 ;;
    */*) echo "${1#*/}" ;;
    *) echo 0 ;;
    esac
}
