#!/usr/bin/env bash
# The judge of the speech round trips against doctored captures: a faithful capture passes, and
# each fault, put into the speech where it is loud, fails with the bounds e2e_speech.sh uses.
# Expects PCM_ALIGN in the environment (set by CTest).
set -euo pipefail
dir=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-align.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir"
espeak-ng -w speech.wav "Every new video, call or notification starts with the words that matter most."
sox speech.wav -r 48000 -c 1 -b 16 -e signed -t raw reference.raw silence 1 0.001 0.5%

# doctor CASE: capture.raw from reference.raw, 100 ms of silence before it (a capture starts
# before the sound), with the fault CASE put in at the loudest sample between 1.5 s and 2.5 s.
doctor() {
    python3 - "$1" <<'PY'
import array, sys
ref = array.array("h", open("reference.raw", "rb").read())
at = max(range(72000, 120000), key=lambda i: abs(ref[i]))
case = sys.argv[1]
cap = list(ref)
if case == "hole-20ms":
    del cap[at:at + 960]
elif case == "hole-80ms":
    del cap[at:at + 3840]
elif case == "silence-30ms":
    cap[at:at] = [0] * 1440
elif case == "repeated-10ms":
    cap[at:at] = ref[at - 480:at]
elif case == "pause-cut-60ms":
    # 60 ms out of the middle of the reference's longest pause (below 0.1 % of full scale).
    quiet = [abs(v) < 33 for v in ref]
    best_len, best_at, run = 0, 0, 0
    for i in range(48000, len(ref) - 48000):  # inside the speech
        run = run + 1 if quiet[i] else 0
        if run > best_len:
            best_len, best_at = run, i - run + 1
    mid = best_at + best_len // 2
    del cap[mid - 1440:mid + 1440]
elif case == "click":
    cap[at + 100] = -32767 if ref[at + 100] > 0 else 32767
cap = [0] * 4800 + cap
open("capture.raw", "wb").write(array.array("h", cap).tobytes())
PY
}

failures=0
# EXPECTED is the exit code; SHOWN, where given, a pattern the result line must match.
while read -r case expected shown; do
    doctor "$case"
    set +e
    "$PCM_ALIGN" reference.raw capture.raw --max-start-loss-ms 50 --max-end-loss-ms 0 --max-lost-inside-ms 50 \
        --max-delayed-ms 5 --min-snr-db 60 >result.txt
    code=$?
    set -e
    echo "$case: exit $code (expected $expected): $(tr '\n' ' ' <result.txt)"
    if [ "$code" != "$expected" ] || { [ -n "$shown" ] && ! grep -qE "$shown" result.txt; }; then
        echo "FAIL: $case"
        failures=$((failures + 1))
    fi
done <<'TABLE'
faithful 0
hole-20ms 1
pause-cut-60ms 0 shortened_pauses_ms=60\.0
hole-80ms 1 end_loss_ms=0\.0 lost_inside_ms=[0-9]{2,3}\.
silence-30ms 1
repeated-10ms 1
click 1
TABLE
[ "$failures" = 0 ]
