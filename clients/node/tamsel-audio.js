'use strict';
// Reference client of the tamsel audio helpers for Node.js (Electron's main process included),
// with Node's own modules only. docs/protocol.md is the reference for everything used here.
//
//   listProcesses(hostPath)              -> Promise<[{ id, pid, label, exe, startTime: BigInt, active }]>
//   startCapture(hostPath, target)       -> Capture (target: a record of the list, or 'system')
//     'format' (event object), then 'pcm' (Buffer of whole 1920-byte chunks), 'diagnostic' (line)
//     capture.done                       -> Promise<outcome>, also emitted as 'end'
//     capture.stop()                     -> kills the host (see stop below)
//   runDriverSetup(setupPath)            -> Promise<{ kind: 'ready' | 'restartRequired' | 'failed', exitCode, message }>
//
// A capture's outcome is one object, whatever ended it:
//   { kind: 'stopped', exitCode, signal }    stop() ended it
//   { kind: 'ended', exitCode: 0 }           a normal end: translator gone, standard output closed, console stop
//   { kind: 'failed', exitCode, message }    the host's error event (exit code 1), or a start failure
//   { kind: 'crashed', exitCode, signal }    any other end, without an error event

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');

const CHUNK_BYTES = 1920; // 20 ms of mono s16le at 48000 Hz
const SETUP_PREFIX = 'TAMSEL_DRIVER_SETUP ';

// JSON.parse reads numbers as doubles, which changes the low digits of start_time (about
// 1.3e17 on Windows, far above 2^53). In the compact list every member's key follows "{" or ","
// and a quote inside a string is always escaped, so this finds exactly the start_time members
// and hands their digits to BigInt.
function parseProcessList(text) {
  const quoted = text.replace(/([{,])"start_time":(\d+)/g, '$1"start_time":"$2"');
  return JSON.parse(quoted).map((r) => ({
    id: r.id,
    pid: Number(r.id.slice('pid:'.length)),
    label: r.label,
    exe: r.exe,
    startTime: BigInt(r.start_time),
    active: r.active,
  }));
}

// The JSON event of a standard-error line, or null for any other line (TAMSEL_CAPTURE lines,
// and lines a later version may add): those are not errors.
function parseEvent(line) {
  if (!line.startsWith('{')) return null;
  try {
    const event = JSON.parse(line);
    return event && typeof event.event === 'string' ? event : null;
  } catch {
    return null;
  }
}

// Splits a text stream into lines at "\n" only, keeping the unfinished rest.
function lineReader(stream, onLine) {
  let rest = '';
  stream.setEncoding('utf8');
  stream.on('data', (text) => {
    rest += text;
    let at;
    while ((at = rest.indexOf('\n')) >= 0) {
      onLine(rest.slice(0, at));
      rest = rest.slice(at + 1);
    }
  });
  return () => rest;
}

function errorMessage(stderr) {
  let message = null;
  for (const line of stderr.split('\n')) {
    const event = parseEvent(line);
    if (event && event.event === 'error') message = event.message;
  }
  return message;
}

// Runs a program to its end (no shell, no window) and collects both streams.
function run(file, args) {
  return new Promise((resolve) => {
    const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
    const out = [];
    let err = '';
    child.stdout.on('data', (b) => out.push(b));
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (t) => (err += t));
    child.on('error', (e) => resolve({ exitCode: null, stdout: '', stderr: '', spawnError: e.message }));
    child.on('close', (exitCode, signal) =>
      resolve({ exitCode, signal, stdout: Buffer.concat(out).toString('utf8'), stderr: err }),
    );
  });
}

class HostError extends Error {
  constructor(message, exitCode) {
    super(message);
    this.name = 'HostError';
    this.exitCode = exitCode;
  }
}

async function listProcesses(hostPath) {
  const r = await run(hostPath, ['--list']);
  if (r.exitCode !== 0) throw new HostError(r.spawnError || errorMessage(r.stderr) || 'list failed', r.exitCode);
  return parseProcessList(r.stdout);
}

// The command line for a record of the list (exe and start time exactly as listed), or 'system'.
function captureArguments(target) {
  const args = target === 'system' ? ['--target', 'system'] : ['--target', target.id];
  args.push('--exclude-pids', String(process.pid));
  if (target !== 'system') args.push('--expected-exe', target.exe, '--expected-start', target.startTime.toString());
  return args;
}

class Capture extends EventEmitter {
  constructor(hostPath, target, env) {
    super();
    this.format = null;
    this.stopRequested = false;
    this.child = spawn(hostPath, captureArguments(target), {
      stdio: ['ignore', 'pipe', 'pipe'],
      windowsHide: true,
      env: env || process.env,
    });
    let error = null;
    let held = []; // standard output that arrived before the format event (two pipes, two readers)
    let pending = Buffer.alloc(0);
    const deliver = (bytes) => {
      pending = pending.length ? Buffer.concat([pending, bytes]) : bytes;
      const whole = pending.length - (pending.length % CHUNK_BYTES);
      if (whole === 0) return;
      this.emit('pcm', pending.subarray(0, whole));
      pending = pending.subarray(whole);
    };
    this.child.stdout.on('data', (bytes) => (this.format ? deliver(bytes) : held.push(bytes)));
    lineReader(this.child.stderr, (line) => {
      if (line.startsWith('TAMSEL_CAPTURE ')) return this.emit('diagnostic', line);
      const event = parseEvent(line);
      if (!event) return; // not ours to judge
      if (event.event === 'format' && !this.format) {
        this.format = event;
        this.emit('format', event);
        for (const bytes of held) deliver(bytes);
        held = [];
      } else if (event.event === 'error') {
        error = event.message;
      } // unknown events and keys are ignored
    });
    this.done = new Promise((resolve) => {
      let spawnError = null;
      this.child.on('error', (e) => (spawnError = e.message));
      // 'close' comes after both pipes ended, so every event line has been seen.
      this.child.on('close', (exitCode, signal) => {
        let outcome;
        if (spawnError || error !== null) outcome = { kind: 'failed', exitCode, message: spawnError || error };
        else if (this.stopRequested) outcome = { kind: 'stopped', exitCode, signal };
        else if (exitCode === 0) outcome = { kind: 'ended', exitCode };
        else outcome = { kind: 'crashed', exitCode, signal };
        this.emit('end', outcome);
        resolve(outcome);
      });
    });
  }

  // Ends the capture. Node cannot raise a console control event, so on Windows this terminates
  // the host (TerminateProcess, exit code 1): what the host still held is lost (up to about
  // 0.36 s of audio in its queue and the unfinished chunk), and no event says why it ended.
  // Audio already written to the pipe is still delivered, and the host keeps nothing that
  // outlives it (no files; Windows releases the audio stream with the process). On Linux the
  // same call sends SIGTERM, which the host takes as a console stop and ends with exit code 0.
  stop() {
    this.stopRequested = true;
    this.child.kill();
    return this.done;
  }
}

function startCapture(hostPath, target, env) {
  return new Capture(hostPath, target, env);
}

// The setup program's status line is the last thing on standard error: its prefix, then the
// message up to the final line feed (a system message inside may hold a line break of its own).
function setupOutcome(exitCode, stderr) {
  if (exitCode === 0) return { kind: 'ready', exitCode, message: null };
  if (exitCode === 3010) return { kind: 'restartRequired', exitCode, message: null };
  const text = '\n' + stderr;
  const at = text.indexOf('\n' + SETUP_PREFIX);
  return { kind: 'failed', exitCode, message: at < 0 ? null : text.slice(at + 1 + SETUP_PREFIX.length).replace(/\n$/, '') };
}

async function runDriverSetup(setupPath) {
  const r = await run(setupPath, []);
  return r.spawnError ? { kind: 'failed', exitCode: null, message: r.spawnError } : setupOutcome(r.exitCode, r.stderr);
}

module.exports = { CHUNK_BYTES, HostError, listProcesses, parseProcessList, runDriverSetup, setupOutcome, startCapture };
