#!/usr/bin/env bash
# Runs the reference client's tests (node --test) against the Linux capture host on a private
# PulseAudio daemon under a private X display; with arguments, runs node with those instead (the
# end-to-end script, ../e2e/capture-e2e.js). Expects HOST (tamsel_audio_host) and WINDOW
# (tamsel_test_window) in the environment; NODE may name the node program.
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-nolisten tcp" bash "$0" "$@"; fi
here=$(cd "$(dirname "$0")" && pwd)
SOUND_SERVER=pulseaudio
source "$here/../../../helpers/audio-host/tests/linux/e2e_common.sh"

start_server
if [ $# -gt 0 ]; then
    "${NODE:-node}" "$@"
    exit 0
fi
sox -n -r 48000 -c 2 -b 16 "$E2E_TMP/tone1k.wav" synth 120 sine 1000 vol 0.5
export TONE="$E2E_TMP/tone1k.wav"
"${NODE:-node}" --test "$here/client.test.js"
