#!/usr/bin/env node
'use strict';
// End to end through the reference client: a player outside this process's tree plays two
// steady tones, another player inside it plays a third; the host captures
//   1. the outside player's record from list mode (listProcesses, startCapture of that record),
//   2. the whole system except this process's tree (startCapture 'system'),
// each until enough audio is in, then stop(); each capture is judged against what was played
// (capture-judge.js): the two tones at their levels and nothing else (so not the inside
// player), no gap, whole chunks, no frame dropped, no audio missing against its delivery time.
//
//   node capture-e2e.js --host PATH [--window PATH] [--out DIR] [--seconds N]
//
// --window: the window program of the Linux player (tamsel_test_window). --out keeps the played
// files, each capture's PCM and report.json (format event, diagnostic lines, outcome, verdict)
// there; without it they go to a temporary folder that is removed when every step passed.
// Exit code 0 when every step passed.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { listProcesses, startCapture } = require('../tamsel-audio.js');
const { DEFAULT_BOUNDS, DEFAULT_TONES, EXCLUDED_TONE, judgeCapture, writeToneWav } = require('./capture-judge.js');
const { startInsidePlayer, startOutsidePlayer, until } = require('./players.js');

const PLAYED_SECONDS = 120; // longer than both captures together, however slowly they start
const FIRST_AUDIO_MS = 30000; // a capture with no audio by then fails

function parseArguments(argv) {
  const options = { seconds: DEFAULT_BOUNDS.minMs / 1000 + 1 };
  for (let i = 0; i < argv.length; i += 2) {
    const [flag, value] = [argv[i], argv[i + 1]];
    if (value === undefined) throw new Error(`${flag} needs a value`);
    if (flag === '--host') options.host = value;
    else if (flag === '--window') options.window = value;
    else if (flag === '--out') options.out = value;
    else if (flag === '--seconds') options.seconds = Number(value);
    else throw new Error(`unknown argument ${flag}`);
  }
  if (!options.host) throw new Error('--host is required');
  if (!(options.seconds * 1000 >= DEFAULT_BOUNDS.minMs)) throw new Error(`--seconds must be at least ${DEFAULT_BOUNDS.minMs / 1000}`);
  return options;
}

// Captures `target` until `ms` of audio (after the judge's skipped start) is in, then stops.
async function captureAudio(host, target, ms) {
  const report = { format: null, diagnostics: [], deliveries: 0, problems: [] };
  const env = { ...process.env, TAMSEL_AUDIO_DIAGNOSTICS: '1' };
  const capture = startCapture(host, target, env);
  const chunks = [];
  let bytes = 0;
  let first = null;
  let lastAt = null;
  const wanted = (DEFAULT_BOUNDS.skipMs + ms) * 96;
  capture.on('format', (event) => (report.format = event));
  capture.on('diagnostic', (line) => report.diagnostics.push(line));
  const enough = new Promise((resolve) => {
    capture.on('pcm', (b) => {
      const now = Date.now();
      if (!capture.format) report.problems.push('PCM before the format event');
      if (b.length % 1920 !== 0) report.problems.push(`a delivery of ${b.length} bytes: not whole chunks`);
      if (first === null) first = { at: now, bytes: b.length };
      lastAt = now;
      chunks.push(b);
      bytes += b.length;
      report.deliveries++;
      if (bytes >= wanted) resolve(true);
    });
  });
  const timer = (ms) => new Promise((resolve) => setTimeout(() => resolve(false), ms).unref());
  // Enough audio, the host's end, or no audio at all for a long while.
  const ended = capture.done.then(() => false);
  const got = await Promise.race([enough, ended, until('audio', () => first !== null, FIRST_AUDIO_MS).then(
    () => Promise.race([enough, ended]), () => false), timer(FIRST_AUDIO_MS + ms * 4)]);
  report.outcome = capture.child.exitCode === null && capture.child.signalCode === null ? await capture.stop() : await capture.done;
  if (!got) report.problems.push(`the capture ended or stalled with ${Math.floor(bytes / 96)} ms of ${wanted / 96} ms wanted`);
  if (report.outcome.kind !== 'stopped') report.problems.push(`the host ended by itself: ${JSON.stringify(report.outcome)}`);
  const f = report.format;
  if (!f || f.channels !== 1 || f.sampleFormat !== 's16le' || f.sampleRate !== 48000) {
    report.problems.push(`format event: ${JSON.stringify(f)}`);
  }
  const dropped = report.diagnostics.map((l) => Number((/\bdropped_frames=(\d+)/.exec(l) || [])[1] || 0));
  if (dropped.some((n) => n > 0)) report.problems.push(`frames dropped: ${report.diagnostics[report.diagnostics.length - 1]}`);
  const pcm = Buffer.concat(chunks);
  const timing = first === null ? {} : { spanMs: lastAt - first.at, afterFirstBytes: bytes - first.bytes };
  return { pcm, report, timing };
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const out = options.out || fs.mkdtempSync(path.join(os.tmpdir(), 'tamsel-capture-e2e-'));
  fs.mkdirSync(out, { recursive: true });
  const tonesWav = path.join(out, 'tones.wav');
  const insideWav = path.join(out, 'inside.wav');
  writeToneWav(tonesWav, DEFAULT_TONES, PLAYED_SECONDS);
  writeToneWav(insideWav, [EXCLUDED_TONE], PLAYED_SECONDS);
  const results = [];
  const step = async (name, target) => {
    const { pcm, report, timing } = await captureAudio(options.host, target, options.seconds * 1000);
    fs.writeFileSync(path.join(out, `${name}.pcm`), pcm);
    report.verdict = judgeCapture(pcm, timing);
    report.timing = timing;
    const problems = [...report.problems, ...report.verdict.problems];
    results.push({ name, ok: problems.length === 0, problems, report });
    console.log(`${problems.length ? 'FAIL' : 'ok'} ${name}: ${JSON.stringify(report.verdict.figures)}`);
    for (const p of problems) console.log(`  ${p}`);
  };
  const outside = await startOutsidePlayer(tonesWav, { window: options.window });
  const inside = startInsidePlayer(insideWav);
  try {
    console.log(`players: outside pid ${outside.pid}, inside pid ${inside.pid} (this process ${process.pid})`);
    const record = await until('the player in the process list', async () =>
      (await listProcesses(options.host)).find((r) => r.pid === outside.pid), 30000);
    console.log(`listed: ${JSON.stringify({ ...record, startTime: record.startTime.toString() })}`);
    await step('target', record);
    await step('system', 'system');
  } finally {
    inside.end();
    outside.end();
  }
  fs.writeFileSync(path.join(out, 'report.json'), JSON.stringify(results, null, 2) + '\n');
  const failed = results.filter((r) => !r.ok).length;
  console.log(`capture e2e: ${results.length - failed} passed, ${failed} failed (files in ${out})`);
  if (failed === 0 && !options.out) fs.rmSync(out, { recursive: true });
  return failed === 0 && results.length === 2;
}

main().then((ok) => (process.exitCode = ok ? 0 : 1), (error) => {
  console.error(`capture e2e: ${error.message}`);
  process.exitCode = 1;
});
