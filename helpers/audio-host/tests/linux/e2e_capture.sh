#!/usr/bin/env bash
# End to end on a private PulseAudio daemon: per-application capture of a target's tree,
# system capture without the translator's tree, the stop rules and the parent rule.
source "$(dirname "$0")/e2e_common.sh"

start_server
cd "$E2E_TMP"
sox -n -r 48000 -c 2 -b 16 tone1k.wav synth 30 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 tone2k.wav synth 30 sine 2000 vol 0.25
sox -n -r 48000 -c 2 -b 16 tone440.wav synth 40 sine 440 vol 0.5
sox -n -r 48000 -c 2 -b 16 short1k.wav synth 4 sine 1000 vol 0.5

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

echo "--- no PulseAudio server"
mkdir -p "$E2E_TMP/empty"
report=$(XDG_RUNTIME_DIR="$E2E_TMP/empty" "$TRANSLATOR" --host "$HOST" --target system --out none.pcm --err none.err)
echo "$report"; cat none.err
[ "$(report_value "$report" host_exit)" = 1 ] || fail "no server must fail"
grep -q '"message":"connect to PulseAudio: ' none.err || fail "expected the connect error"
if grep -q '"event":"format"' none.err; then fail "no format event before the source exists"; fi

echo "all end-to-end capture checks passed"
