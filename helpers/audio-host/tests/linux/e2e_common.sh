# Shared set-up of the end-to-end tests: a scratch folder, a private sound server with two null
# sinks (only when asked for), and clean-up of everything on every exit path.
# Expects HOST, TRANSLATOR, WINDOW, BURST, PCM_CHECK, PCM_ALIGN in the environment (set by CTest)
# and SOUND_SERVER: pulseaudio (the default) or pipewire (PipeWire, WirePlumber and
# pipewire-pulse on a private session bus). Both serve the PulseAudio protocol the host speaks.

set -euo pipefail

E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-e2e.XXXXXX")
E2E_PIDS=()
E2E_PULSE=0
E2E_DAEMONS=()  # the PipeWire stack and its session bus, stopped in reverse order
SOUND_SERVER=${SOUND_SERVER:-pulseaudio}

e2e_cleanup() {
    local status=$? pid
    for pid in "${E2E_PIDS[@]+"${E2E_PIDS[@]}"}"; do
        kill -KILL -- "-$pid" 2>/dev/null || true  # a process group of bg_tree
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$E2E_PULSE" = 1 ]; then
        pulseaudio -k 2>/dev/null || true
        local i
        for i in $(seq 50); do
            pulseaudio --check 2>/dev/null || break
            sleep 0.1
        done
    fi
    stop_daemons
    # E2E_KEEP_FAILED=DIR keeps the folder of a test that failed (captures, standard error of the
    # host, the server's logs) in DIR, for a look afterwards.
    if [ "$status" != 0 ] && [ -n "${E2E_KEEP_FAILED:-}" ]; then
        mkdir -p "$E2E_KEEP_FAILED" && cp -r "$E2E_TMP" "$E2E_KEEP_FAILED/" 2>/dev/null || true
    fi
    rm -rf "$E2E_TMP"
}

# Ends the daemons of start_pipewire, the last started first: SIGTERM, and SIGKILL for one that
# has not ended 5 s later. Each is this shell's child, so `wait` reaps it.
stop_daemons() {
    local n pid i
    for ((n = ${#E2E_DAEMONS[@]} - 1; n >= 0; n--)); do
        pid=${E2E_DAEMONS[n]}
        kill -TERM "$pid" 2>/dev/null || continue
        for i in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    E2E_DAEMONS=()
}
trap e2e_cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs in the background and remembers the pid for the clean-up; the pid is in $!.
bg() {
    "$@" &
    E2E_PIDS+=("$!")
}

# Like bg, but in a session of its own, so end_tree ends the process and all its descendants.
bg_tree() {
    setsid "$@" &
    E2E_PIDS+=("$!")
}
# Waits until process $1 runs program $2: a process started in the background runs the shell
# and then setsid for a moment before it execs its program, and a capture target's identity is
# taken from the program it runs.
await_program() {
    poll 100 runs_program "$1" "$2" || fail "process $1 does not run $2"
}
runs_program() { [ "$(readlink "/proc/$1/exe")" = "$(readlink -f "$(command -v "$2")")" ]; }
end_tree() {
    kill -KILL -- "-$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# The private runtime folder, home and configuration of the sound server and its clients.
private_session() {
    unset PULSE_SERVER PULSE_SINK PULSE_SOURCE PULSE_RUNTIME_PATH PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR
    unset DBUS_SESSION_BUS_ADDRESS
    export XDG_RUNTIME_DIR="$E2E_TMP/xdg" HOME="$E2E_TMP/home"
    export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state" XDG_DATA_HOME="$HOME/.local/share"
    mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/pulse" "$XDG_STATE_HOME" "$XDG_DATA_HOME"
    chmod 700 "$XDG_RUNTIME_DIR"
    # A client asking before the server is up must not start a PulseAudio daemon of its own.
    echo 'autospawn = no' >"$XDG_CONFIG_HOME/pulse/client.conf"
}

# Polls (every 0.1 s, at most $1 times) until the command after it succeeds.
poll() {
    local tries=$1 i
    shift
    for i in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# The sound server named by SOUND_SERVER, with the null sinks "cable" (48 kHz, the default) and
# "other" (44.1 kHz).
start_server() {
    case "$SOUND_SERVER" in
        pulseaudio) start_pulse ;;
        pipewire) start_pipewire ;;
        *) fail "unknown SOUND_SERVER $SOUND_SERVER" ;;
    esac
    echo "sound server: $(pactl info | sed -n 's/^Server Name: //p')"
}

# The tests' one PulseAudio starter, in this private session (log: $XDG_RUNTIME_DIR/pulse.log).
start_pulse() {
    private_session
    E2E_PULSE=1
    "$(dirname "${BASH_SOURCE[0]}")/../../../../libs/tamsel-audio/tests/support/private-pulseaudio" start >/dev/null ||
        fail "pulseaudio did not start"
}

# PipeWire as a desktop runs it: the PipeWire daemon, WirePlumber (the session manager, which
# links streams to sinks; it needs a session bus) and pipewire-pulse (the PulseAudio server).
# As root (CI) nothing else is needed: with XDG_RUNTIME_DIR, HOME and the XDG folders private,
# the daemons make their sockets in the runtime folder and keep their state in the scratch
# folder. The daemons run in the foreground as this shell's children and log to files.
start_pipewire() {
    private_session
    # Only the null sinks: WirePlumber leaves sound cards, cameras and Bluetooth alone.
    mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
    printf '%s\n' 'alsa_monitor.enabled = false' 'v4l2_monitor.enabled = false' 'libcamera_monitor.enabled = false' \
        >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/60-tamsel-no-devices.lua"
    echo 'bluez_monitor.enabled = false' >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/60-tamsel-no-devices.lua"
    local bus="$XDG_RUNTIME_DIR/bus"
    dbus-daemon --session --nofork --nopidfile --address="unix:path=$bus" >"$E2E_TMP/dbus.log" 2>&1 &
    E2E_DAEMONS+=("$!")
    poll 100 test -S "$bus" || fail "the session bus did not start: $(cat "$E2E_TMP/dbus.log")"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$bus"
    pipewire >"$E2E_TMP/pipewire.log" 2>&1 &
    E2E_DAEMONS+=("$!")
    poll 100 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "pipewire did not start: $(cat "$E2E_TMP/pipewire.log")"
    wireplumber >"$E2E_TMP/wireplumber.log" 2>&1 &
    E2E_DAEMONS+=("$!")
    pipewire-pulse >"$E2E_TMP/pipewire-pulse.log" 2>&1 &
    E2E_DAEMONS+=("$!")
    # Its socket first: a PulseAudio client asking earlier makes the runtime folder's "pulse"
    # folder itself, and pipewire-pulse then fails to make it ("mkdir() ... File exists").
    poll 100 test -S "$XDG_RUNTIME_DIR/pulse/native" ||
        fail "pipewire-pulse did not start: $(cat "$E2E_TMP/pipewire-pulse.log")"
    poll 100 pactl info >/dev/null 2>&1 || fail "pipewire-pulse does not answer: $(cat "$E2E_TMP/pipewire-pulse.log")"
    pactl load-module module-null-sink sink_name=cable rate=48000 >/dev/null
    pactl load-module module-null-sink sink_name=other rate=44100 >/dev/null
    poll 100 sinks_present || fail "the null sinks did not appear"
    # WirePlumber takes the default from its metadata; wait until the server reports it.
    pactl set-default-sink cable
    poll 100 default_sink_is cable || fail "the default sink did not become cable"
}
sinks_present() { [ "$(pactl list short sinks | awk '$2 == "cable" || $2 == "other"' | wc -l)" = 2 ]; }
default_sink_is() { [ "$(pactl get-default-sink 2>/dev/null)" = "$1" ]; }

# Waits until the server has a sink input played by process $1.
await_sink_input_of() {
    poll 100 sink_input_listed "$1" || fail "no playback stream of process $1"
}
sink_input_listed() { pactl list sink-inputs 2>/dev/null | grep -q "application.process.id = \"$1\""; }

# Waits until the capture host has held every sink at its low latency: its anchor streams are
# made after it subscribed to the server's events, so a stream started from now on is a new
# stream to it.
await_capture_ready() {
    poll 100 anchors_listed || fail "the capture host did not start capturing"
}
anchors_listed() {
    [ "$(pactl list source-outputs 2>/dev/null | grep -c 'media.name = "tamsel latency anchor"')" -ge 2 ]
}

# The index of the sink input that process $1 plays.
sink_input_of() {
    pactl list sink-inputs | awk -v pid="\"$1\"" '
        /^Sink Input #/ { index_ = substr($3, 2) }
        $1 == "application.process.id" && $3 == pid { print index_ }' | head -n1
}

# True once file $1 holds $2 ms of mono 48 kHz s16le audio.
holds_ms() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge $(($2 * 96)) ]; }

# The value of key $2 in the translator's report line $1.
report_value() { sed -n "s/.*\b$2=\([0-9-]*\).*/\1/p" <<<"$1"; }

# Fails unless the translator's report $2 shows no more audio than time (a mix that waits for a
# lagging stream must not stretch it): bytes of mono 48 kHz s16le against the host's wall time,
# give or take 50 ms, a server period and a chunk, as the sink's clock and ours are not one. $1
# names the case.
assert_no_longer_than_wall() {
    local bytes wall_ms
    bytes=$(report_value "$2" bytes)
    wall_ms=$(report_value "$2" wall_ms)
    [ "$bytes" -le $(((wall_ms + 50) * 96)) ] || fail "$1: $bytes bytes of audio in $wall_ms ms: the mix was stretched"
}

# The error event lines of a standard-error file.
error_events() { grep '"event":"error"' "$1" || true; }

FORMAT_LINE='{"backend":"pulseaudio-sink-input-monitor","channels":1,"event":"format","sampleFormat":"s16le","sampleRate":48000}'
