// Picture against sound where the TV plays them, with the flash-and-beep scene on the screen. The
// page reports when each flash is shown (its frame callback's expected display time); the sound
// the browser plays goes to a PulseAudio sink of its own, the TV's speaker, whose monitor is
// recorded here, each sample timed by its place in the recording. Both in epoch milliseconds.
import { spawn } from 'node:child_process';
import { sleep } from './options.mjs';

export const SPEAKER = 'tvspeaker';
const RATE = 48000;
const LOUD = 3277;      // -20 dBFS: far above the codecs' pre-echo ahead of an onset
const QUIET_GAP = RATE / 5;

// Records the speaker until stop(), which gives the beeps' onsets: the first loud sample after
// at least 200 ms of quiet. A sample's time is the recording's start plus its index over the
// rate; the start is the earliest that any chunk's arrival allows (its latency at its least).
function recordOnsets(env) {
  const rec = spawn('parec', ['-d', `${SPEAKER}.monitor`, `--rate=${RATE}`, '--channels=1', '--format=s16le',
    '--latency-msec=5', '--raw'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
  let samples = 0; let start = Infinity; let quiet = 0; let rest = Buffer.alloc(0);
  const onsets = [];
  rec.stdout.on('data', (chunk) => {
    const now = performance.timeOrigin + performance.now();
    const data = rest.length ? Buffer.concat([rest, chunk]) : chunk;
    const whole = data.length & ~1;
    for (let i = 0; i < whole; i += 2, samples++) {
      if (Math.abs(data.readInt16LE(i)) < LOUD) { quiet++; continue; }
      if (quiet >= QUIET_GAP) onsets.push(samples);
      quiet = 0;
    }
    rest = data.subarray(whole);
    start = Math.min(start, now - (samples * 1000) / RATE);
  });
  return () => { rec.kill(); return onsets.map((n) => start + (n * 1000) / RATE); };
}

// Keeps the page's peer connections, for the receiver's own account of what it got.
export const KEEP_PCS = `(() => {
  const P = window.RTCPeerConnection;
  if (!P) return;
  window.__pcs = [];
  window.RTCPeerConnection = function (...a) { const pc = new P(...a); window.__pcs.push(pc); return pc; };
  window.RTCPeerConnection.prototype = P.prototype;
  Object.setPrototypeOf(window.RTCPeerConnection, P);
})();`;

// The receiver's own report on the `kind` of media it got (the page's last peer connection).
export const inboundRtp = (page, kind) => page.evaluate(async (kind) => {
  const pc = (window.__pcs || []).at(-1);
  return pc ? [...(await pc.getStats()).values()].find((s) => s.type === 'inbound-rtp' && s.kind === kind) ?? null : null;
}, kind);
export const jitterBufferMs = (s) => Math.round((1000 * s.jitterBufferDelay) / s.jitterBufferEmittedCount);

// The WebRTC receiver's account of the sound: what its jitter buffer concealed (played in place
// of sound that came too late or not at all), discarded, and squeezed out to catch up.
async function receivedSound(page) {
  const s = await inboundRtp(page, 'audio');
  return s && { packets: s.packetsReceived, discarded: s.packetsDiscarded,
    concealedPct: Math.round((1000 * s.concealedSamples) / s.totalSamplesReceived) / 10,
    acceleratedMs: Math.round((1000 * s.removedSamplesForAcceleration) / RATE), jitterBufferMs: jitterBufferMs(s) };
}

// In the page: when each flash's first bright frame is shown, for `seconds`.
function flashSource() {
  return async (seconds) => {
    const video = document.getElementById('video');
    const canvas = document.createElement('canvas');
    canvas.width = 16; canvas.height = 9;
    const g = canvas.getContext('2d', { willReadFrequently: true });
    const flashes = [];
    let bright = false; let on = true;
    const onFrame = (now, meta) => {
      g.drawImage(video, 0, 0, 16, 9);
      const d = g.getImageData(0, 0, 16, 9).data;
      let sum = 0;
      for (let i = 0; i < d.length; i += 4) sum += (d[i] + d[i + 1] + d[i + 2]) / 3;
      const lit = sum / (d.length / 4) > 128;
      if (lit && !bright) flashes.push(performance.timeOrigin + meta.expectedDisplayTime);
      bright = lit;
      if (on) video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
    await new Promise((r) => setTimeout(r, seconds * 1000));
    on = false;
    return flashes;
  };
}

// Opens `url` in a browser that plays into the TV's speaker, turns the sound on as a viewer
// would (a key press), and pairs each shown flash with the heard beep nearest it. Offsets are
// picture minus sound: positive when the picture comes late.
export async function heardSync(chromium, launch, env, url, seconds) {
  const browser = await chromium.launch({ ...launch, ignoreDefaultArgs: ['--mute-audio'],
    env: { ...process.env, PULSE_SERVER: `unix:${env.XDG_RUNTIME_DIR}/pulse/native`, PULSE_SINK: SPEAKER } });
  try {
    const page = await browser.newPage({ viewport: { width: 960, height: 540 } });
    await page.addInitScript(KEEP_PCS);
    await page.goto(url);
    await page.waitForFunction(() => !document.getElementById('video').hidden, null, { timeout: 30000 });
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => !document.getElementById('video').muted, null, { timeout: 5000 });
    await sleep(5000);   // past the first seconds, where the players settle (lip-sync waits for RTCP)
    const stop = recordOnsets(env);
    const flashes = await page.evaluate(flashSource().toString().replace(/^/, '(') + `)(${seconds})`);
    const beeps = stop();
    const offsetsMs = [];
    for (const f of flashes) {
      const near = beeps.reduce((best, b) => (best === null || Math.abs(f - b) < Math.abs(f - best) ? b : best), null);
      if (near !== null && Math.abs(f - near) < 500) offsetsMs.push(Math.round(f - near));
    }
    const mode = await page.evaluate(() => document.body.dataset.mode);
    const sound = await receivedSound(page);
    const meanMs = offsetsMs.length ? Math.round(offsetsMs.reduce((a, b) => a + b) / offsetsMs.length) : null;
    const worstMs = offsetsMs.length ? Math.max(...offsetsMs.map(Math.abs)) : null;
    return { mode, flashes: flashes.length, beeps: beeps.length, offsetsMs, meanMs, worstMs, sound };
  } finally {
    await browser.close();
  }
}
