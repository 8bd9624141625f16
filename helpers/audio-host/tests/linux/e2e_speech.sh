#!/usr/bin/env bash
# Speech round trip on a private sound server (SOUND_SERVER): speech made with espeak-ng is
# played by an application that starts while the host already captures; the capture is aligned
# against what was played and must hold all of it from its first sample on (at most 50 ms lost
# at the start, none at the end, at most 50 ms in all inside: a server held up on a loaded
# machine may drop a quantum) at a high signal-to-noise ratio. The host's once-a-second
# diagnostic line shows drops and discontinuities should a round fail.
#   1. system capture, the player outside the translator's tree;
#   2. capture of a target whose child starts playing.
# Nothing here waits for a time to pass: the player starts once the host's anchor streams exist
# (the host is subscribed by then), and the host is stopped once the capture holds as much
# audio as was played.
source "$(dirname "$0")/e2e_common.sh"

start_server
cd "$E2E_TMP"
espeak-ng -w speech.wav "Every new video, call or notification starts with the words that matter most."
# Played at the sink's rate, in stereo, from its first sound on: the harshest start.
sox speech.wav -r 48000 -c 2 -b 16 played.wav silence 1 0.001 0.5%
sox -D played.wav -t raw -e signed -b 16 -c 1 reference.raw
played_bytes=$(stat -c %s reference.raw)
echo "speech: $((played_bytes / 96)) ms"

# Waits until capture file $1 holds at least what was played, minus 50 ms (the loss allowed at
# the start), polling for at most 10 s; the aligner judges the content.
await_captured() {
    poll 100 captured_enough "$1" || echo "the capture stayed short: $(stat -c %s "$1") of $played_bytes bytes"
}
captured_enough() { [ "$(stat -c %s "$1")" -ge $((played_bytes - 50 * 96)) ]; }

# run_round NAME TARGET PLAYER_COMMAND: starts the capture, the player once the host captures,
# stops the host once the audio is in, and checks the capture against the reference.
run_round() {
    local name=$1 target=$2
    rm -f "$name.go" "$name.stop"
    TAMSEL_AUDIO_DIAGNOSTICS=1 "$TRANSLATOR" --host "$HOST" --target "$target" --out "$name.pcm" --err "$name.err" \
        --stop-file "$name.stop" --timeout-ms 60000 >"$name.report" &
    local translator=$!
    E2E_PIDS+=("$translator")
    await_capture_ready
    touch "$name.go"
    poll 300 test -e "$name.played" || fail "$name: the player did not finish"
    await_captured "$name.pcm"
    touch "$name.stop"
    wait "$translator" || fail "$name: the translator failed"
    cat "$name.report" "$name.err"
    [ "$(report_value "$(cat "$name.report")" host_exit)" = 0 ] || fail "$name: the host must end with exit 0"
    [ "$(head -n1 "$name.err")" = "$FORMAT_LINE" ] || fail "$name: the first line must be the format event"
    [ -z "$(error_events "$name.err")" ] || fail "$name: no error event"
    "$PCM_ALIGN" reference.raw "$name.pcm" --max-start-loss-ms 50 --max-end-loss-ms 0 --max-lost-inside-ms 50 \
        --min-snr-db 60 ||
        fail "$name: the capture does not hold what was played"
}

echo "--- system capture, the player outside the translator's tree"
bg sh -c "while [ ! -e system.go ]; do sleep 0.01; done; paplay played.wav; touch system.played"
run_round system system

echo "--- target capture, the target's child starts playing"
bg_tree sh -c "while [ ! -e target.go ]; do sleep 0.01; done; paplay played.wav; touch target.played; sleep 60"
target=$!
await_program "$target" sh
run_round target "pid:$target"
end_tree "$target"

echo "all speech round-trip checks passed"
