#!/usr/bin/env bash
# Measurements of the Linux capture host on a private PulseAudio daemon (not a CTest test; run
# it against a release build):
#   HOST=... TRANSLATOR=... BURST=... PCM_CHECK=... bash measure.sh [capture_seconds=60] [bursts=5]
# 1. CPU time of the host (user + system, from wait4) per minute of captured audio, capturing
#    one player for capture_seconds.
# 2. Delay from the player handing a tone burst to PulseAudio (after silence, 20 ms playback
#    buffer) to the arrival of the burst's first chunk on the host's standard output.
source "$(dirname "$0")/e2e_common.sh"
seconds=${1:-60}
bursts=${2:-5}

start_server
cd "$E2E_TMP"
sox -n -r 48000 -c 2 -b 16 tone.wav synth $((seconds + 10)) sine 1000 vol 0.5

bg_tree sh -c 'paplay tone.wav; sleep 1'
target=$!
sleep 1
report=$("$TRANSLATOR" --host "$HOST" --target "pid:$target" --out cpu.pcm --err cpu.err \
         --stop-after-ms $((seconds * 1000)) --timeout-ms $((seconds * 1000 + 20000)))
end_tree "$target"
user=$(report_value "$report" host_user_us)
sys=$(report_value "$report" host_sys_us)
bytes=$(report_value "$report" bytes)
python3 - "$user" "$sys" "$bytes" <<'PY'
import sys
user, system, size = map(int, sys.argv[1:])
audio_s = size / 96000
cpu_s = (user + system) / 1e6
print(f"cpu: captured {audio_s:.1f} s of audio, host cpu {cpu_s:.3f} s (user {user/1e6:.3f} s, "
      f"system {system/1e6:.3f} s) = {cpu_s / audio_s * 60:.3f} s per minute ({cpu_s / audio_s * 100:.2f} % of one core)")
PY

# The player asks for 20 ms of latency (PULSE_LATENCY_MSEC, which also lets the sink lower its
# own latency); the burst comes 3 s after it starts, once the monitor stream delivers in step.
for i in $(seq "$bursts"); do
    PULSE_LATENCY_MSEC=20 bg_tree "$BURST" "burst$i.stamp" 3000 500 1000 3000
    player=$!
    for _ in $(seq 100); do [ "$(readlink "/proc/$player/exe")" = "$(readlink -f "$BURST")" ] && break; sleep 0.01; done
    report=$("$TRANSLATOR" --host "$HOST" --target "pid:$player" --out burst$i.pcm --err burst$i.err \
             --stop-after-ms 6300)
    wait "$player" 2>/dev/null || true
    written=$(cat "burst$i.stamp")
    arrived=$(report_value "$report" first_sound_ns)
    echo "burst $i: delay $(( (arrived - written) / 1000 )) us (written $written, first loud chunk $arrived)"
done
