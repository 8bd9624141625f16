'use strict';
// The judge of the end-to-end captures on doctored captures: a faithful one passes, each fault
// is refused with its own reason.
const test = require('node:test');
const assert = require('node:assert/strict');
const { DEFAULT_TONES, EXCLUDED_TONE, judgeCapture, toneWav } = require('../e2e/capture-judge.js');

const RATE = 48000;
// Mono samples of `tones` from sample `offset` of the played stream on (a capture starts
// anywhere in it), `ms` long.
function played(ms, tones = DEFAULT_TONES, offset = 12345) {
  const out = new Float64Array((ms * RATE) / 1000);
  for (let i = 0; i < out.length; i++) {
    for (const t of tones) out[i] += t.amplitude * Math.sin((2 * Math.PI * t.frequency * (offset + i)) / RATE);
  }
  return out;
}
const pcm = (values) => {
  const b = Buffer.alloc(values.length * 2);
  values.forEach((v, i) => b.writeInt16LE(Math.trunc(Math.max(-1, Math.min(1, v)) * 32767), i * 2));
  return b;
};
const ms = (n) => (n * RATE) / 1000;
// The capture without samples [at, at + length) (a gap), whole chunks kept.
const cut = (values, at, length) => {
  const kept = [...values.subarray(0, at), ...values.subarray(at + length)];
  return kept.slice(0, kept.length - (kept.length % 960));
};
const good = played(5000);

const cases = [
  { name: 'faithful capture', capture: pcm(good), ok: true },
  { name: 'faithful, delivered over its own length', capture: pcm(good), spanMs: 4900, afterFirstBytes: ms(4900) * 2, ok: true },
  { name: 'silent capture', capture: pcm(new Float64Array(ms(5000))), want: /628 Hz at -Infinity dB.*/ },
  { name: 'wrong frequencies (5% high)', capture: pcm(played(5000, DEFAULT_TONES.map((t) => ({ ...t, frequency: t.frequency * 1.05 })))),
    want: /the tones hold [0-9.]+% of the power \(about \d+ Hz by its zero crossings/ },
  { name: 'the excluded player leaks in', capture: pcm(good.map((v, i) => v + 0.3 * Math.sin((2 * Math.PI * EXCLUDED_TONE.frequency * i) / RATE))),
    want: /the tones hold/ },
  { name: 'one tone missing', capture: pcm(played(5000, [DEFAULT_TONES[0]])), want: /1426 Hz at -\d+\.\d dB/ },
  { name: '6 dB too quiet', capture: pcm(good.map((v) => v / 2)), want: /628 Hz at -6\.0 dB/ },
  { name: 'a 10 ms packet lost', capture: pcm(cut(good, ms(2500) + 77, ms(10))), want: /a gap: the \d+ Hz tone's phase moved/ },
  { name: 'a 20 ms chunk lost', capture: pcm(cut(good, ms(3000), ms(20))), want: /a gap/ },
  { name: 'a 341 ms queue lost', capture: pcm(cut(good, ms(2000), ms(341))), want: /a gap/ },
  { name: '3 samples lost', capture: pcm(cut(good, ms(2000) + 5, 3)), want: /a gap/ },
  { name: 'a 20 ms hole of silence', capture: pcm(good.map((v, i) => (i >= ms(3000) && i < ms(3020) ? 0 : v))), want: /at -Infinity dB|tones hold/ },
  { name: 'a click', capture: pcm(good.map((v, i) => (i === ms(3000) ? 1 : v))), want: /the tones hold/ },
  { name: 'audio put in twice', capture: pcm([...good.subarray(0, ms(2500)), ...good.subarray(ms(2490))].slice(0, good.length)), want: /a gap/ },
  { name: 'a partial chunk at the end', capture: pcm(good).subarray(0, pcm(good).length - 100), want: /not whole chunks: \d+ bytes, 1820 past the last whole chunk/ },
  { name: 'too short to judge', capture: pcm(played(3000)), want: /too short: 2000 ms judged/ },
  // 500 ms moves both tones by whole turns: only the time it should have taken shows the loss.
  { name: '500 ms lost, seen against the delivery time', capture: pcm(cut(good, ms(2000), ms(500))), spanMs: 4500,
    afterFirstBytes: ms(4000) * 2, want: /audio lost: 4000 ms of audio arrived over 4500 ms \(500 ms missing/ },
];

for (const c of cases) {
  test(`judge: ${c.name}`, () => {
    const verdict = judgeCapture(c.capture, { spanMs: c.spanMs, afterFirstBytes: c.afterFirstBytes });
    if (c.ok) {
      assert.deepEqual(verdict.problems, []);
      assert.equal(verdict.ok, true);
    } else {
      assert.equal(verdict.ok, false, `accepted: ${JSON.stringify(verdict.figures)}`);
      assert.ok(verdict.problems.some((p) => c.want.test(p)), `problems: ${verdict.problems.join(' | ')}`);
    }
  });
}

test('judge: every gap of whole milliseconds up to 400 ms is seen', () => {
  // 200 ms before the gap and 100 ms after it, judged from the start.
  const bounds = { skipMs: 0, minMs: 0 };
  const around = played(700);
  const missed = [];
  for (let m = 1; m <= 400; m++) {
    const capture = pcm(cut(around, ms(200) + 31, ms(m)).slice(0, ms(300)));
    if (!judgeCapture(capture, { bounds }).problems.some((p) => p.includes('a gap'))) missed.push(m);
  }
  assert.deepEqual(missed, []);
});

test('the player file holds the tones it is made of', () => {
  const wav = toneWav(DEFAULT_TONES, 5);
  assert.equal(wav.toString('ascii', 0, 4), 'RIFF');
  assert.equal(wav.readUInt32LE(24), RATE);
  assert.equal(wav.readUInt16LE(22), 2);
  assert.equal(wav.readUInt32LE(40), 5 * RATE * 4);
  // Its left channel, as the host would capture it, passes the judge.
  const frames = wav.subarray(44);
  const left = Buffer.alloc(frames.length / 2);
  for (let i = 0; i < frames.length / 4; i++) left.writeInt16LE(frames.readInt16LE(i * 4), i * 2);
  assert.deepEqual(judgeCapture(left).problems, []);
});
