'use strict';
// What a player plays and how a capture of it is judged: a WAV file of steady tones, and the
// verdict on the host's PCM (mono s16le, 48000 Hz) against those tones.
//
// The capture is cut into 10 ms blocks (after `skipMs`, where the sound server may still be
// linking the player's stream). In every block each tone must be there at its level, and the
// tones together must hold nearly all of the block's power (a wrong frequency, noise, clicks
// or another player's tone fail here). The phase of each tone, measured against the capture's
// own sample count, stays constant while nothing is lost: a gap or inserted audio of g samples
// moves a tone's phase by 360 * f * g / 48000 degrees. The two default tones are chosen so
// that any gap of a whole number of milliseconds up to 400 ms moves at least one of them by
// 15.8 degrees or more (both by 0 only at multiples of 500 ms: the shortfall bound below sees
// those). A capture that spans less audio than the time between its first and last delivery,
// by more than `maxShortfallMs`, lost audio too.

const fs = require('node:fs');
const { CHUNK_BYTES } = require('../tamsel-audio.js');

const RATE = 48000;
const BLOCK = 480; // 10 ms
const DEFAULT_TONES = Object.freeze([
  Object.freeze({ frequency: 628, amplitude: 0.3 }),
  Object.freeze({ frequency: 1426, amplitude: 0.3 }),
]);
// A tone that a capture must not hold: the one played inside the client's own process tree.
const EXCLUDED_TONE = Object.freeze({ frequency: 1000, amplitude: 0.3 });

const DEFAULT_BOUNDS = Object.freeze({
  skipMs: 1000, // the start, where a stream may still be linked
  minMs: 3000, // judged audio at least
  levelToleranceDb: 1.5, // each tone's level in each block
  minPurity: 0.99, // share of a block's power that the tones hold
  maxPhaseStepDeg: 6, // between neighbouring blocks, any tone
  maxShortfallMs: 250, // audio missing against the time it was delivered over
});

// A 16-bit stereo WAV file of the tones, `seconds` long, both channels alike.
function toneWav(tones, seconds) {
  const frames = Math.round(seconds * RATE);
  const data = Buffer.alloc(frames * 4);
  for (let n = 0; n < frames; n++) {
    let v = 0;
    for (const t of tones) v += t.amplitude * Math.sin((2 * Math.PI * t.frequency * n) / RATE);
    const s = Math.round(Math.max(-1, Math.min(1, v)) * 32767);
    data.writeInt16LE(s, n * 4);
    data.writeInt16LE(s, n * 4 + 2);
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8, 'ascii');
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // PCM
  header.writeUInt16LE(2, 22);
  header.writeUInt32LE(RATE, 24);
  header.writeUInt32LE(RATE * 4, 28);
  header.writeUInt16LE(4, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(data.length, 40);
  return Buffer.concat([header, data]);
}

function writeToneWav(file, tones, seconds) {
  fs.writeFileSync(file, toneWav(tones, seconds));
}

// Amplitude and phase (radians) of the tone at `frequency` in samples [start, start + BLOCK),
// with the phase taken against the absolute sample index (Hann window).
const HANN = Float64Array.from({ length: BLOCK }, (_, i) => 0.5 - 0.5 * Math.cos((2 * Math.PI * (i + 0.5)) / BLOCK));
const HANN_SUM = HANN.reduce((a, b) => a + b, 0);
function toneInBlock(samples, start, frequency) {
  const w = (2 * Math.PI * frequency) / RATE;
  let re = 0;
  let im = 0;
  for (let i = 0; i < BLOCK; i++) {
    const x = (samples[start + i] / 32767) * HANN[i];
    const n = start + i;
    re += x * Math.cos(w * n);
    im -= x * Math.sin(w * n);
  }
  return { amplitude: (2 * Math.hypot(re, im)) / HANN_SUM, phase: Math.atan2(im, re) };
}

const wrapDegrees = (d) => ((((d + 180) % 360) + 360) % 360) - 180;
const db = (ratio) => 20 * Math.log10(ratio);

// The dominant frequency of a block from its zero crossings (for messages only).
function crossingFrequency(samples, start) {
  let crossings = 0;
  for (let i = start + 1; i < start + BLOCK; i++) if (samples[i - 1] < 0 !== samples[i] < 0) crossings++;
  return Math.round((crossings * RATE) / (2 * BLOCK));
}

// Judges `pcm` (a Buffer of the host's standard output). `spanMs`, when given, is the wall time
// between the first and the last delivery, and `afterFirstBytes` the bytes that came after the
// first delivery. Returns { ok, problems: [text], figures }.
function judgeCapture(pcm, options = {}) {
  const tones = options.tones || DEFAULT_TONES;
  const b = { ...DEFAULT_BOUNDS, ...options.bounds };
  const problems = [];
  const figures = { ms: Math.floor(pcm.length / 96) };
  if (pcm.length % CHUNK_BYTES !== 0) {
    problems.push(`not whole chunks: ${pcm.length} bytes, ${pcm.length % CHUNK_BYTES} past the last whole chunk`);
  }
  const samples = new Int16Array(pcm.buffer.slice(pcm.byteOffset, pcm.byteOffset + (pcm.length & ~1)));
  const first = Math.round((b.skipMs * RATE) / 1000);
  const blocks = Math.max(0, Math.floor((samples.length - first) / BLOCK));
  figures.judgedMs = blocks * 10;
  if (figures.judgedMs < b.minMs) {
    problems.push(`too short: ${figures.judgedMs} ms judged after the first ${b.skipMs} ms, at least ${b.minMs} ms needed`);
  }
  if (options.spanMs !== undefined && options.afterFirstBytes !== undefined) {
    const audioMs = options.afterFirstBytes / 96;
    figures.shortfallMs = Math.round(options.spanMs - audioMs);
    if (figures.shortfallMs > b.maxShortfallMs) {
      problems.push(`audio lost: ${Math.round(audioMs)} ms of audio arrived over ${Math.round(options.spanMs)} ms ` +
                    `(${figures.shortfallMs} ms missing, at most ${b.maxShortfallMs} ms allowed)`);
    }
  }
  // Each kind of fault is reported at its first block, with the number of blocks it hit.
  const faults = new Map();
  const fault = (kind, block, text) => {
    const known = faults.get(kind);
    if (known) known.count++;
    else faults.set(kind, { count: 1, text: `${text} at ${b.skipMs + block * 10} ms` });
  };
  const previous = tones.map(() => null);
  let worstLevelDb = 0;
  let worstPurity = 1;
  let worstStep = 0;
  for (let k = 0; k < blocks; k++) {
    const start = first + k * BLOCK;
    const found = tones.map((t) => toneInBlock(samples, start, t.frequency));
    // What the block holds besides the tones as found (level and phase): noise, clicks, holes,
    // other frequencies.
    let power = 0;
    let rest = 0;
    for (let i = start; i < start + BLOCK; i++) {
      const x = samples[i] / 32767;
      let model = 0;
      tones.forEach((t, j) => (model += found[j].amplitude * Math.cos((2 * Math.PI * t.frequency * i) / RATE + found[j].phase)));
      power += x * x;
      rest += (x - model) ** 2;
    }
    tones.forEach((t, j) => {
      const off = found[j].amplitude > 0 ? db(found[j].amplitude / t.amplitude) : -Infinity;
      if (Math.abs(off) > Math.abs(worstLevelDb)) worstLevelDb = off;
      if (!(Math.abs(off) <= b.levelToleranceDb)) {
        fault(`level${j}`, k, `${t.frequency} Hz at ${off.toFixed(1)} dB of its level (within ${b.levelToleranceDb} dB expected)`);
        previous[j] = null; // no phase from a block without the tone
        return;
      }
      if (previous[j] !== null) {
        const step = wrapDegrees(((found[j].phase - previous[j]) * 180) / Math.PI);
        if (Math.abs(step) > Math.abs(worstStep)) worstStep = step;
        if (Math.abs(step) > b.maxPhaseStepDeg) {
          fault(`step${j}`, k, `a gap: the ${t.frequency} Hz tone's phase moved ${step.toFixed(1)} degrees`);
        }
      }
      previous[j] = found[j].phase;
    });
    const purity = power > 0 ? 1 - rest / power : 0;
    worstPurity = Math.min(worstPurity, purity);
    if (!(purity >= b.minPurity)) {
      const what = power > 0 ? `about ${crossingFrequency(samples, start)} Hz by its zero crossings` : 'silence';
      fault('purity', k, `the tones hold ${(100 * purity).toFixed(1)}% of the power (${what}; at least ` +
                         `${100 * b.minPurity}% expected)`);
    }
  }
  for (const f of faults.values()) problems.push(f.count > 1 ? `${f.text} (and ${f.count - 1} more blocks)` : f.text);
  Object.assign(figures, {
    worstLevelDb: Number(worstLevelDb.toFixed(2)),
    worstPurity: Number(worstPurity.toFixed(4)),
    worstPhaseStepDeg: Number(worstStep.toFixed(2)),
  });
  return { ok: problems.length === 0, problems, figures };
}

module.exports = { DEFAULT_BOUNDS, DEFAULT_TONES, EXCLUDED_TONE, RATE, judgeCapture, toneWav, writeToneWav };
