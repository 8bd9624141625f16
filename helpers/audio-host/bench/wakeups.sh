#!/usr/bin/env bash
# How often the capture host wakes and how much CPU it takes, next to parec in the same round.
# A benchmark, not a test: it prints a table and asserts nothing.
#
#   HOST=build/linux-release/bin/tamsel_audio_host \
#   TRANSLATOR=build/linux-release/bin/tamsel_test_translator \
#     helpers/audio-host/bench/wakeups.sh [SECONDS=10] [ROUNDS=5]
#   SERVERS="pulseaudio pipewire" (the default: both) chooses the sound servers.
#   WINE_BENCH=build/windows-x64 also runs the x64 host under Wine over the scripted engine
#   (CTest tamsel_host_wakeups_bench), at 10 ms packets and with a silent target; SERVERS= (empty)
#   runs that alone.
#
# Each round starts a private sound server (as the end-to-end tests do) and, per scene:
#   tone       the host captures the system while a tone plays; parec records the sink's monitor
#              at 20 ms fragments beside it, over the same seconds;
#   silent     nothing plays, the sinks stay running (a server without idle suspend);
#   suspended  nothing plays and the sinks are suspended, as on a desktop (PulseAudio only:
#              module-suspend-on-idle).
# Wakeups are voluntary plus involuntary context switches of every thread of the process
# (/proc/PID/task/*/status); CPU is the threads' time on a CPU (/proc/PID/task/*/schedstat).
# Both are sampled after a second of warm-up and again SECONDS later. The table gives the medians
# over ROUNDS rounds, per process and per thread name.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SECONDS_PER_SCENE=${1:-10}
ROUNDS=${2:-5}
SERVERS=${SERVERS-pulseaudio pipewire}
: "${HOST:?HOST must name a release tamsel_audio_host}" "${TRANSLATOR:?TRANSLATOR must name tamsel_test_translator}"
HOST=$(readlink -f "$HOST")
TRANSLATOR=$(readlink -f "$TRANSLATOR")
results=$(mktemp)
trap 'rm -f "$results"' EXIT

# One line per thread of process $1: tid name switches voluntary_switches cpu_ns.
sample_tasks() {
    local task tid name vol nonvol cpu
    for task in /proc/"$1"/task/*; do
        tid=${task##*/}
        name=$(tr ' ' '_' <"$task/comm" 2>/dev/null) || continue
        vol=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$task/status" 2>/dev/null) || continue
        nonvol=$(awk '/^nonvoluntary_ctxt_switches/ { print $2 }' "$task/status" 2>/dev/null) || continue
        cpu=$(cut -d' ' -f1 "$task/schedstat" 2>/dev/null) || continue
        echo "$tid $name $((vol + nonvol)) $vol $cpu"
    done
}

# The rates between two samples of one process taken $3 seconds apart (files $1 and $2), appended
# to the results as one line per thread name and one for the whole process:
# "server scene program thread wakeups/s voluntary/s cpu_ms/s".
rates() {
    local before=$1 after=$2 secs=$3 server=$4 scene=$5 program=$6
    awk -v secs="$secs" -v server="$server" -v scene="$scene" -v program="$program" '
        NR == FNR { sw[$1] = $3; vol[$1] = $4; cpu[$1] = $5; next }
        ($1 in sw) {
            dsw = ($3 - sw[$1]) / secs; dvol = ($4 - vol[$1]) / secs; dcpu = ($5 - cpu[$1]) / 1e6 / secs
            tsw[$2] += dsw; tvol[$2] += dvol; tcpu[$2] += dcpu; all_sw += dsw; all_vol += dvol; all_cpu += dcpu
        }
        END {
            for (name in tsw) printf "%s %s %s %s %.1f %.1f %.3f\n", server, scene, program, name, tsw[name], tvol[name], tcpu[name]
            printf "%s %s %s %s %.1f %.1f %.3f\n", server, scene, program, "(process)", all_sw, all_vol, all_cpu
        }' "$before" "$after" >>"$results"
}

# Samples process $1 (and its threads) over SECONDS_PER_SCENE.
measure() {
    local pid=$1 server=$2 scene=$3 program=$4 before after
    before=$(mktemp) after=$(mktemp)
    sample_tasks "$pid" >"$before"
    sleep "$SECONDS_PER_SCENE"
    sample_tasks "$pid" >"$after"
    rates "$before" "$after" "$SECONDS_PER_SCENE" "$server" "$scene" "$program"
    rm -f "$before" "$after"
}

# The host's pid: the translator's child running the host.
host_of() {
    local translator=$1 i child
    for i in $(seq 100); do
        for child in $(pgrep -P "$translator" || true); do
            [ "$(readlink "/proc/$child/exe" 2>/dev/null)" = "$HOST" ] && { echo "$child"; return 0; }
        done
        sleep 0.05
    done
    return 1
}

# One scene: the host capturing the system for the warm-up and the window (and parec beside it
# when $3 is "with-parec").
scene() {
    local server=$1 name=$2 parec_too=$3 translator host parec=
    "$TRANSLATOR" --host "$HOST" --target system --out /dev/null --err "$E2E_TMP/$name.err" \
        --stop-after-ms $(((SECONDS_PER_SCENE + 2) * 1000)) --timeout-ms $(((SECONDS_PER_SCENE + 30) * 1000)) \
        >"$E2E_TMP/$name.report" &
    translator=$!
    host=$(host_of "$translator") || { echo "the host did not start" >&2; exit 1; }
    if [ "$parec_too" = with-parec ]; then
        parec --latency-msec=20 -d cable.monitor --raw >/dev/null &
        parec=$!
    fi
    sleep 1
    measure "$host" "$server" "$name" host &
    local measuring=$!
    [ -z "$parec" ] || measure "$parec" "$server" "$name" parec
    wait "$measuring"
    [ -z "$parec" ] || { kill "$parec"; wait "$parec" 2>/dev/null || true; }
    wait "$translator" || { echo "the translator failed: $(cat "$E2E_TMP/$name.report" "$E2E_TMP/$name.err")" >&2; exit 1; }
}

all_suspended() { ! pactl list short sinks | awk '$2 == "cable" || $2 == "other"' | grep -q -v SUSPENDED; }

round() {
    local server=$1
    (
        export SOUND_SERVER=$server
        source "$here/../tests/linux/e2e_common.sh"
        start_server >/dev/null
        sox -n -r 48000 -c 2 -b 16 "$E2E_TMP/tone.wav" synth $((SECONDS_PER_SCENE + 5)) sine 440 vol 0.3
        paplay "$E2E_TMP/tone.wav" &
        E2E_PIDS+=("$!")
        scene "$server" tone with-parec
        kill "${E2E_PIDS[-1]}"
        wait "${E2E_PIDS[-1]}" 2>/dev/null || true
        scene "$server" silent alone
        if [ "$server" = pulseaudio ]; then
            pactl load-module module-suspend-on-idle timeout=1 >/dev/null
            poll 100 all_suspended || fail "the sinks did not suspend"
            scene "$server" suspended alone
        fi
    )
}

for r in $(seq "$ROUNDS"); do
    for server in $SERVERS; do
        echo "round $r: $server" >&2
        round "$server"
    done
done

# The x64 host under Wine over the scripted engine: the benchmark program announces each phase
# on its standard output ("wakeups: playing begins", ...), and the host's threads (Wine's threads
# are Linux threads) are sampled when a phase begins and when it ends.
wine_round() {
    local build=$1 log line phase pid= started before after current=
    log=$(mktemp) before=$(mktemp) after=$(mktemp)
    TAMSEL_WAKEUPS_SECONDS=$SECONDS_PER_SCENE xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
        ctest --test-dir "$build" -R '^tamsel_host_wakeups_bench$' -V >"$log" 2>&1 &
    local bench=$!
    while kill -0 "$bench" 2>/dev/null; do
        line=$(grep -o 'wakeups: [a-z]* [a-z]*' "$log" | tail -n1 || true)
        case "$line" in
            *"playing begins"|*"silent begins")
                phase=${line#wakeups: }; phase=${phase% begins}
                if [ "$phase" != "${current:-}" ]; then
                    current=$phase
                    # The host itself (its command line begins with its Windows path), not the
                    # benchmark program that names it among its arguments.
                    pid=$(pgrep -f '^[A-Z]:[^ ]*\\tamsel_audio_host\.exe( |$)' | head -n1 || true)
                    [ -n "$pid" ] || { echo "no host process for the phase $current" >&2; kill "$bench"; exit 1; }
                    sample_tasks "$pid" >"$before"; started=$(date +%s.%N)
                fi ;;
            *"playing ends"|*"silent ends")
                if [ -n "${current:-}" ] && [ "$line" = "wakeups: $current ends" ]; then
                    sample_tasks "$pid" >"$after"
                    rates "$before" "$after" "$(awk -v now="$(date +%s.%N)" -v then="$started" 'BEGIN { print now - then }')" wine-x64 "$current" host
                    current=
                fi ;;
        esac
        sleep 0.05
    done
    wait "$bench" || { echo "the Wine benchmark failed:" >&2; tail -n 30 "$log" >&2; exit 1; }
    rm -f "$log" "$before" "$after"
}

if [ -n "${WINE_BENCH:-}" ]; then
    export WINEPREFIX WINEDEBUG=-all
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-wine.XXXXXX")
    WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1
    for r in $(seq "$ROUNDS"); do
        echo "round $r: wine-x64" >&2
        wine_round "$WINE_BENCH"
    done
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
fi

# Medians over the rounds.
python3 - "$results" <<'PY'
import collections, statistics, sys
rows = collections.defaultdict(list)
for line in open(sys.argv[1]):
    server, scene, program, thread, wakeups, voluntary, cpu = line.split()
    rows[(server, scene, program, thread)].append((float(wakeups), float(voluntary), float(cpu)))
print(f"{'server':<11} {'scene':<10} {'program':<8} {'thread':<17} {'wakeups/s':>10} {'voluntary':>10} "
      f"{'cpu ms/s':>9} {'rounds':>6}")
for key in sorted(rows, key=lambda k: (k[0], k[1], k[2], k[3] != "(process)", k[3])):
    values = rows[key]
    print(f"{key[0]:<11} {key[1]:<10} {key[2]:<8} {key[3]:<17} {statistics.median(v[0] for v in values):>10.1f} "
          f"{statistics.median(v[1] for v in values):>10.1f} {statistics.median(v[2] for v in values):>9.3f} "
          f"{len(values):>6}")
# CPU of the host against parec, per round of the tone scene.
per_round = collections.defaultdict(dict)
for line in open(sys.argv[1]):
    server, scene, program, thread, wakeups, voluntary, cpu = line.split()
    if scene == "tone" and thread == "(process)":
        per_round[server].setdefault(program, []).append(float(cpu))
for server, programs in per_round.items():
    pairs = list(zip(programs.get("host", []), programs.get("parec", [])))
    ratios = [h / p for h, p in pairs if p > 0]
    if ratios:
        ratio = statistics.median(ratios)
        print(f"{server}: host CPU / parec CPU, tone, median of {len(ratios)} rounds: {ratio:.2f}x")
PY
