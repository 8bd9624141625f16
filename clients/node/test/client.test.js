'use strict';
// The reference client against the real Linux capture host (run-with-pulseaudio.sh provides the
// sound server, the display, HOST, WINDOW and TONE, a 1 kHz tone at half scale).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startOutsidePlayer, until } = require('../e2e/players.js');
const { CHUNK_BYTES, listProcesses, parseProcessList, runDriverSetup, setupOutcome, startCapture } = require('../tamsel-audio.js');

const { HOST, WINDOW, TONE } = process.env;

// A window process that plays the tone through its child, outside this process's tree.
// Returns its listed record, the player's pid and a way to end both.
async function playerWithWindow() {
  const { pid, end } = await startOutsidePlayer(TONE, { window: WINDOW });
  const record = await until('the window in the list', async () => (await listProcesses(HOST)).find((r) => r.pid === pid));
  const children = () => fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').trim().split(/\s+/).filter(Boolean);
  const player = Number(await until('the player', () => children()[0]));
  return { record, player, end };
}

// The capture's PCM until `ms` of it have arrived, checked on the way: nothing before the
// format event, whole chunks only.
function collect(capture, ms) {
  const chunks = [];
  let bytes = 0;
  return new Promise((resolve, reject) => {
    capture.on('pcm', (b) => {
      if (!capture.format) reject(new Error('PCM before the format event'));
      if (b.length % CHUNK_BYTES !== 0) reject(new Error(`not whole chunks: ${b.length}`));
      chunks.push(b);
      bytes += b.length;
      if (bytes >= ms * 96) resolve(Buffer.concat(chunks));
    });
    capture.done.then((o) => reject(new Error(`capture ended early: ${JSON.stringify(o)}`)));
  });
}

// The worker thread of the host sits in poll: its write waits for room (x86-64 poll, ppoll).
function workerBlocked(pid) {
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    const task = `/proc/${pid}/task/${tid}`;
    if (fs.readFileSync(`${task}/comm`, 'utf8').trim() !== 'tamsel-capture') continue;
    return ['7', '271'].includes(fs.readFileSync(`${task}/syscall`, 'utf8').split(' ')[0]);
  }
  return false;
}

test('the list keeps all 64 bits of start_time', () => {
  const text = '[{"id":"pid:7","label":"a\\",\\"start_time\\":1","exe":"C:\\\\a\\",\\"start_time\\":1","start_time":134087624551234567,"active":false}]';
  const [r] = parseProcessList(text);
  assert.equal(r.startTime, 134087624551234567n);
  assert.equal(r.pid, 7);
  assert.equal(r.exe, 'C:\\a","start_time":1');
});

test('driver setup outcomes', async () => {
  const audio = 'TAMSEL_AUDIO backend=wasapi binding=0.38.0\n';
  const cases = [
    { stderr: audio, code: 0, want: { kind: 'ready', exitCode: 0, message: null } },
    { stderr: audio, code: 3010, want: { kind: 'restartRequired', exitCode: 3010, message: null } },
    { stderr: 'TAMSEL_DRIVER_SETUP missing bundled driver file readme.txt\n', code: 1,
      want: { kind: 'failed', exitCode: 1, message: 'missing bundled driver file readme.txt' } },
    // A system message may hold a line break of its own.
    { stderr: `${audio}TAMSEL_DRIVER_SETUP audio control thread: two\nlines (os error 8)\n`, code: 1,
      want: { kind: 'failed', exitCode: 1, message: 'audio control thread: two\nlines (os error 8)' } },
  ];
  for (const c of cases) assert.deepEqual(setupOutcome(c.code, c.stderr), c.want, c.stderr);
  // Through a real process (Linux exit codes have 8 bits, so only 0 and 1 here).
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tamsel-setup-'));
  const program = path.join(dir, 'setup');
  const body = `process.stderr.write(${JSON.stringify(cases[3].stderr)}); process.exitCode = 1;`;
  fs.writeFileSync(program, `#!${process.execPath}\n${body}\n`, { mode: 0o755 });
  assert.deepEqual(await runDriverSetup(program), cases[3].want);
  fs.rmSync(dir, { recursive: true });
});

test('list, capture a tone from another process tree, stop', async () => {
  const { record, end } = await playerWithWindow();
  try {
    assert.equal(typeof record.startTime, 'bigint');
    assert.equal(record.exe, WINDOW);
    const capture = startCapture(HOST, record);
    const pcm = await collect(capture, 2000);
    assert.equal(capture.format.sampleRate, 48000);
    // The last second: a 1 kHz tone (2000 sign changes) at half scale (RMS 0.354 of full).
    const s = new Int16Array(pcm.buffer, pcm.byteOffset, pcm.length / 2).subarray(-48000);
    let crossings = 0;
    let power = 0;
    for (let i = 0; i < s.length; i++) {
      if (i > 0 && s[i - 1] < 0 !== s[i] < 0) crossings++;
      power += s[i] * s[i];
    }
    const rms = Math.sqrt(power / s.length) / 32768;
    assert.ok(Math.abs(crossings - 2000) <= 20, `crossings ${crossings}`);
    assert.ok(rms > 0.3 && rms < 0.4, `rms ${rms}`);
    assert.deepEqual(await capture.stop(), { kind: 'stopped', exitCode: 0, signal: null });
  } finally {
    end();
  }
});

test('wrong pid, exited target and changed identity give their errors', async () => {
  const { record, player, end } = await playerWithWindow();
  const exited = await playerWithWindow();
  exited.end();
  await until('the exited target to be gone', () => !fs.existsSync(`/proc/${exited.record.pid}`));
  const identityChanged = 'selected process identity changed; refresh the process list';
  const cases = [
    { name: 'wrong pid', target: { ...record, id: `pid:${player}` }, message: identityChanged },
    { name: 'exited target', target: exited.record, message: 'selected process is no longer present' },
    { name: 'changed identity', target: { ...record, startTime: record.startTime + 1n }, message: identityChanged },
  ];
  try {
    for (const c of cases) {
      const outcome = await startCapture(HOST, c.target).done;
      assert.deepEqual(outcome, { kind: 'failed', exitCode: 1, message: c.message }, c.name);
    }
  } finally {
    end();
  }
});

// The translator stops reading; once the host's writer waits on the full pipe, each stop still
// ends the host within a second, with its usual exit code.
test('every stop ends the host when the reader stopped reading', async () => {
  const cases = [
    { name: 'stop()', stop: (capture) => capture.stop(), want: { kind: 'stopped', exitCode: 0, signal: null } },
    { name: 'target exit', stop: (_, player) => player.end(),
      want: { kind: 'failed', exitCode: 1, message: 'selected process exited' } },
  ];
  for (const c of cases) {
    const player = await playerWithWindow();
    try {
      // The sanitizer build's leak check at exit takes a good part of a second: not the stop's.
      const env = { ...process.env, ASAN_OPTIONS: [process.env.ASAN_OPTIONS, 'detect_leaks=0'].filter(Boolean).join(':') };
      const capture = startCapture(HOST, player.record, env);
      await new Promise((r) => capture.once('format', r));
      capture.child.stdout.pause();
      // Seen twice: a write finds room at once unless the pipe is full.
      await until('the writer to block', () => workerBlocked(capture.child.pid) && new Promise((r) =>
        setTimeout(() => r(workerBlocked(capture.child.pid)), 100)), 30000);
      const started = process.hrtime.bigint();
      const ended = new Promise((r) => capture.child.once('exit', () => r(process.hrtime.bigint())));
      c.stop(capture, player);
      const hung = setTimeout(() => capture.child.kill('SIGKILL'), 5000); // a hang fails, not waits
      const ms = Number((await ended) - started) / 1e6;
      clearTimeout(hung);
      console.log(`stop with a stalled reader, ${c.name}: the host ended ${ms.toFixed(0)} ms after the stop`);
      capture.child.stdout.resume();
      assert.ok(ms < 1000, `${c.name}: the host ended ${ms} ms after the stop`);
      assert.deepEqual(await capture.done, c.want, c.name);
    } finally {
      player.end();
    }
  }
});
