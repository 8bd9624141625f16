#!/usr/bin/env bash
# End to end on a private PulseAudio daemon: per-application capture of a target's tree,
# system capture without the translator's tree, the stop rules and the parent rule.
source "$(dirname "$0")/e2e_common.sh"

start_server
cd "$E2E_TMP"
sox -n -r 48000 -c 2 -b 16 tone1k.wav synth 30 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 tone2k.wav synth 30 sine 2000 vol 0.25
# Long enough to play through every case below, however slowly a loaded machine runs them.
sox -n -r 48000 -c 2 -b 16 tone440.wav synth 180 sine 440 vol 0.5
sox -n -r 48000 -c 2 -b 16 short1k.wav synth 4 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 quiet1k.wav synth 30 sine 1000 vol 0.02

# The unrelated player: not in the target's tree, not in the translator's.
bg paplay tone440.wav
unrelated=$!
await_sink_input_of "$unrelated"

echo "--- target capture: two players of the target, one starting after the capture did"
bg_tree sh -c 'paplay tone1k.wav & sleep 0.8; paplay tone2k.wav & wait'
target=$!
await_program "$target" sh
report=$("$TRANSLATOR" --host "$HOST" --target "pid:$target" --out target.pcm --err target.err \
         --stop-after-ms 6000 --signal INT)
echo "$report"; cat target.err
[ "$(report_value "$report" host_exit)" = 0 ] || fail "SIGINT must end the capture with exit 0"
[ "$(head -n1 target.err)" = "$FORMAT_LINE" ] || fail "the first line must be the format event"
[ -z "$(error_events target.err)" ] || fail "no error event after a stop"
# The first player starts before the host holds the sink at its low latency: its first block
# (up to 2 s on PulseAudio) was rendered before any monitor stream existed, so the first second
# is not checked. (Streams that start while the host captures lose nothing: e2e_speech.sh.)
"$PCM_CHECK" target.pcm --tone 1000:0.5 --tone 2000:0.25 --absent 440 --min-ms 3000 --skip-ms 1000 ||
    fail "target capture"
end_tree "$target"

echo "--- system capture with a 1 kHz player under the translator, stopped by SIGTERM"
report=$("$TRANSLATOR" --host "$HOST" --target system --out system.pcm --err system.err \
         --child "exec paplay $E2E_TMP/tone1k.wav" --stop-after-ms 4500 --signal TERM)
echo "$report"; cat system.err
[ "$(report_value "$report" host_exit)" = 0 ] || fail "SIGTERM must end the capture with exit 0"
[ "$(head -n1 system.err)" = "$FORMAT_LINE" ] || fail "the first line must be the format event"
[ -z "$(error_events system.err)" ] || fail "no error event after a stop"
"$PCM_CHECK" system.pcm --tone 440:0.5 --absent 1000 --min-ms 2000 --skip-ms 300 || fail "system capture"

echo "--- the target exits during capture"
bg_tree sh -c 'paplay short1k.wav; sleep 0.3'
target=$!
await_program "$target" sh
report=$("$TRANSLATOR" --host "$HOST" --target "pid:$target" --out exit.pcm --err exit.err)
echo "$report"; cat exit.err
[ "$(report_value "$report" host_exit)" = 1 ] || fail "a target that exits must end the run with exit 1"
[ "$(tail -n1 exit.err)" = '{"code":"capture_failed","event":"error","message":"selected process exited"}' ] ||
    fail "expected the error event \"selected process exited\""
[ "$(head -n1 exit.err)" = "$FORMAT_LINE" ] || fail "the format event comes first"
"$PCM_CHECK" exit.pcm --tone 1000:0.5 --absent 440 --min-ms 1500 --skip-ms 100 || fail "audio before the exit"

echo "--- the reader closes standard output"
report=$("$TRANSLATOR" --host "$HOST" --target system --out closed.pcm --err closed.err --close-after-ms 1500)
echo "$report"; cat closed.err
[ "$(report_value "$report" host_exit)" = 0 ] || fail "a closed standard output is a normal end (no SIGPIPE death)"
[ -z "$(error_events closed.err)" ] || fail "no error event after the reader went away"

echo "--- a changed identity is refused"
bg sleep 30
target=$!
report=$("$TRANSLATOR" --host "$HOST" --target "pid:$target" --expected-exe /usr/bin/other-program \
         --out id.pcm --err id.err)
[ "$(report_value "$report" host_exit)" = 1 ] || fail "identity mismatch must fail"
grep -qF '"message":"selected process identity changed; refresh the process list"' id.err || fail "identity message"
[ ! -s id.pcm ] || fail "nothing may be captured for a refused identity"

echo "--- the host must be the translator's child"
set +e
"$HOST" --target system --exclude-pids 1 >parent.pcm 2>parent.err
code=$?
set -e
[ "$code" = 1 ] || fail "a host not started by the excluded pid must fail"
[ "$(cat parent.err)" = '{"code":"capture_failed","event":"error","message":"excluded PID must be the helper'"'"'s parent application"}' ] ||
    fail "parent rule message: $(cat parent.err)"

# Faults of the sound server while a capture runs, one table case each: "capture NAME ACTION
# CHECK" runs a capture of target $target in the background, runs ACTION once 1 s of audio is in,
# and then CHECK on the result.
capture_with() {
    local name=$1 action=$2 check=$3
    "$TRANSLATOR" --host "$HOST" --target "pid:$target" --out "$name.pcm" --err "$name.err" \
        --stop-file "$name.stop" --timeout-ms 30000 >"$name.report" &
    local translator=$!
    poll 100 holds_ms "$name.pcm" 1000 || fail "$name: no audio before the fault"
    $action "$name"
    wait "$translator" || fail "$name: the translator failed"
    echo "$name: $(cat "$name.report")"; cat "$name.err"
    $check "$name" "$(cat "$name.report")"
}

# A sink unloaded under a captured stream: the server moves the stream to another sink (or ends
# it); the capture goes on without an error and takes the stream where it plays on.
unload_sink() {
    pactl unload-module "$gone_module"
    local bytes
    bytes=$(stat -c %s "$1.pcm")
    poll 100 holds_ms "$1.pcm" $((bytes / 96 + 1500)) || echo "$1: no audio after the unload"
    touch "$1.stop"
}
check_unloaded() {
    [ "$(report_value "$2" host_exit)" = 0 ] || fail "$1: the capture must go on and end normally"
    [ -z "$(error_events "$1.err")" ] || fail "$1: no error event"
    "$PCM_CHECK" "$1.pcm" --tone 1000:0.5 --absent 440 --min-ms 2500 --skip-ms 100 || fail "$1: audio after the unload"
}
# Twenty players of the target at once: no error, never more audio than time.
twenty_players() { poll 100 holds_ms "$1.pcm" 3000 || true; touch "$1.stop"; }
check_twenty() {
    [ "$(report_value "$2" host_exit)" = 0 ] || fail "$1: exit 0"
    [ -z "$(error_events "$1.err")" ] || fail "$1: no error event"
    assert_no_longer_than_wall "$1" "$2"
    local bytes
    bytes=$(report_value "$2" bytes)
    [ "$bytes" -ge $((3000 * 96)) ] || fail "$1: only $bytes bytes of audio"
}
# The sound server goes away: the error event and exit 1.
kill_server() {
    case "$SOUND_SERVER" in
        pulseaudio) pulseaudio -k ;;
        pipewire) kill -TERM "${E2E_DAEMONS[${#E2E_DAEMONS[@]} - 1]}" ;;  # pipewire-pulse, started last
    esac
}
check_server_gone() {
    [ "$(report_value "$2" host_exit)" = 1 ] || fail "$1: a server that goes away ends the capture with exit 1"
    grep -q '"event":"error","message":"PulseAudio connection: ' "$1.err" || fail "$1: expected the connection error event"
}

echo "--- a sink is unloaded under the captured stream"
gone_module=$(pactl load-module module-null-sink sink_name=gone rate=48000)
bg_tree sh -c 'PULSE_SINK=gone paplay tone1k.wav; sleep 60'
target=$!
await_program "$target" sh
capture_with unloaded unload_sink check_unloaded
end_tree "$target"

echo "--- twenty players at once"
bg_tree sh -c 'for i in $(seq 20); do paplay quiet1k.wav & done; wait'
target=$!
await_program "$target" sh
capture_with twenty twenty_players check_twenty
end_tree "$target"

echo "--- the sound server goes away during the capture"
bg_tree sh -c 'paplay tone1k.wav; sleep 60'
target=$!
await_program "$target" sh
capture_with gone kill_server check_server_gone
end_tree "$target"

echo "--- no PulseAudio server"
mkdir -p "$E2E_TMP/empty"
report=$(XDG_RUNTIME_DIR="$E2E_TMP/empty" "$TRANSLATOR" --host "$HOST" --target system --out none.pcm --err none.err)
echo "$report"; cat none.err
[ "$(report_value "$report" host_exit)" = 1 ] || fail "no server must fail"
grep -q '"message":"connect to PulseAudio: ' none.err || fail "expected the connect error"
if grep -q '"event":"format"' none.err; then fail "no format event before the source exists"; fi

echo "all end-to-end capture checks passed"
