#!/usr/bin/env bash
# List mode on an X display: windows with and without _NET_WM_PID are listed, unmapped ones are
# not; without a display the enumeration fails with its error event. A record read back from the
# list passes the capture's identity check.
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-nolisten tcp" bash "$0" "$@"; fi
source "$(dirname "$0")/e2e_common.sh"
cd "$E2E_TMP"

start_window() {
    local ready="$E2E_TMP/ready.$RANDOM"
    mkfifo "$ready"
    "$WINDOW" "$@" >"$ready" &
    WINDOW_PID=$!
    E2E_PIDS+=("$WINDOW_PID")
    read -r -t 10 line <"$ready" || fail "test window did not start"
    [ "$line" = ready ] || fail "test window: $line"
}
start_window;              with_pid=$WINDOW_PID
start_window --no-pid;     without_pid=$WINDOW_PID
start_window --unmapped;   unmapped=$WINDOW_PID

"$HOST" --list >list.json 2>list.err || fail "list mode failed: $(cat list.err)"
cat list.json; echo
[ ! -s list.err ] || fail "list mode writes nothing on standard error: $(cat list.err)"
python3 - "$WINDOW" "$with_pid" "$without_pid" "$unmapped" <<'PY' || fail "list content"
import json, sys
window, with_pid, without_pid, unmapped = sys.argv[1], *map(int, sys.argv[2:])
text = open("list.json").read()
assert not text.endswith("\n"), "no newline after the array"
records = json.loads(text)
pids = [int(r["id"][4:]) for r in records]
assert pids == sorted(set(pids)), f"each pid once, ascending: {pids}"
for r in records:
    assert list(r) == ["id", "label", "exe", "start_time", "active"], list(r)
    assert r["active"] is False and isinstance(r["start_time"], int) and r["start_time"] > 0
by_pid = {int(r["id"][4:]): r for r in records}
for pid in (with_pid, without_pid):
    assert pid in by_pid, f"pid {pid} missing"
    assert by_pid[pid]["exe"] == window, by_pid[pid]
    assert by_pid[pid]["label"] == "tamsel_test_window", by_pid[pid]
assert unmapped not in by_pid, "an unmapped window is not listed"
print("list ok")
PY

echo "--- a listed identity is accepted by capture mode, a changed start time is not"
read -r exe start < <(python3 -c '
import json, sys
r = {int(r["id"][4:]): r for r in json.load(open("list.json"))}[int(sys.argv[1])]
print(r["exe"], r["start_time"])' "$with_pid")
# No PulseAudio here: a request that passed validation ends at the connection.
export XDG_RUNTIME_DIR="$E2E_TMP/no-pulse"; mkdir -p "$XDG_RUNTIME_DIR"; unset PULSE_SERVER
"$TRANSLATOR" --host "$HOST" --target "pid:$with_pid" --expected-exe "$exe" --expected-start "$start" \
    --out a.pcm --err a.err >/dev/null
grep -q '"message":"connect to PulseAudio: ' a.err || fail "the listed identity must pass validation: $(cat a.err)"
"$TRANSLATOR" --host "$HOST" --target "pid:$with_pid" --expected-exe "$exe" --expected-start "$((start + 1))" \
    --out b.pcm --err b.err >/dev/null
grep -qF '"message":"selected process identity changed; refresh the process list"' b.err ||
    fail "a different start time must be refused: $(cat b.err)"

echo "--- no display"
set +e
env -u DISPLAY "$HOST" --list >nodisplay.out 2>nodisplay.err
code=$?
set -e
[ "$code" = 1 ] || fail "list without a display must fail"
[ ! -s nodisplay.out ] || fail "nothing on standard output"
[ "$(cat nodisplay.err)" = '{"code":"capture_failed","event":"error","message":"enumerate application windows: no X display (DISPLAY is not set)"}' ] ||
    fail "no-display error: $(cat nodisplay.err)"
echo "all end-to-end list checks passed"
