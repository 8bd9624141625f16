# Shared set-up of the end-to-end tests: a scratch folder, a private PulseAudio daemon with a
# null sink (only when asked for), and clean-up of everything on every exit path.
# Expects HOST, TRANSLATOR, WINDOW, BURST, PCM_CHECK in the environment (set by CTest).

set -euo pipefail

E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-e2e.XXXXXX")
E2E_PIDS=()
E2E_PULSE=0

e2e_cleanup() {
    local pid
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
    rm -rf "$E2E_TMP"
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
end_tree() {
    kill -KILL -- "-$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

start_pulse() {
    unset PULSE_SERVER PULSE_SINK PULSE_SOURCE
    export XDG_RUNTIME_DIR="$E2E_TMP/xdg" HOME="$E2E_TMP/home"
    mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
    chmod 700 "$XDG_RUNTIME_DIR"
    E2E_PULSE=1
    pulseaudio --daemonize=yes --exit-idle-time=-1 -n --disable-shm=no \
        --log-target="file:$E2E_TMP/pulse.log" \
        --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=cable rate=48000" \
        --load="module-null-sink sink_name=other rate=44100" 2>/dev/null ||
        fail "pulseaudio did not start: $(cat "$E2E_TMP/pulse.log" 2>/dev/null)"
    local i
    for i in $(seq 100); do
        if pactl info >/dev/null 2>&1; then
            pactl set-default-sink cable
            return 0
        fi
        sleep 0.1
    done
    fail "pulseaudio does not answer"
}

# Waits until PulseAudio has a sink input played by process $1.
await_sink_input_of() {
    local i
    for i in $(seq 100); do
        pactl list sink-inputs 2>/dev/null | grep -q "application.process.id = \"$1\"" && return 0
        sleep 0.1
    done
    fail "no playback stream of process $1"
}

# The index of the sink input that process $1 plays.
sink_input_of() {
    pactl list sink-inputs | awk -v pid="\"$1\"" '
        /^Sink Input #/ { index_ = substr($3, 2) }
        $1 == "application.process.id" && $3 == pid { print index_ }' | head -n1
}

# The value of key $2 in the translator's report line $1.
report_value() { sed -n "s/.*\b$2=\([0-9-]*\).*/\1/p" <<<"$1"; }

# The error event lines of a standard-error file.
error_events() { grep '"event":"error"' "$1" || true; }

FORMAT_LINE='{"backend":"pulseaudio-sink-input-monitor","channels":1,"event":"format","sampleFormat":"s16le","sampleRate":48000}'
