// Audio against video in the served stream, with the flash-and-beep scene on the screen: the
// stream is fetched over HTTP as a player would (the initialization segment, then every media
// segment as the playlist lists it), joined and decoded by the ffmpeg tool; each flash's first
// bright frame is paired with the onset of the beep that played at the same instant.
import { spawn } from 'node:child_process';
import { writeFileSync } from 'node:fs';

const run = (cmd, args) => new Promise((resolve, reject) => {
  const child = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const out = []; const err = [];
  child.stdout.on('data', (d) => out.push(d));
  child.stderr.on('data', (d) => err.push(d));
  child.on('exit', (code) => (code === 0 ? resolve({ out: Buffer.concat(out).toString(), err: Buffer.concat(err).toString() })
    : reject(new Error(`${cmd} exited ${code}: ${Buffer.concat(err).toString().slice(-300)}`))));
});

// Fetches `seconds` of the live stream from `base` into `file` (init + consecutive segments).
export async function recordStream(base, seconds, file) {
  const parts = [Buffer.from(await (await fetch(`${base}/live/init.mp4`)).arrayBuffer())];
  let last = -1;
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    const ids = [...(await (await fetch(`${base}/live/stream.m3u8`)).text()).matchAll(/segment(\d+)\.m4s/g)].map((m) => Number(m[1]));
    for (const id of ids) {
      if (id <= last) continue;
      if (last >= 0 && id !== last + 1) throw new Error(`segment ${last + 1} left the playlist before it was read`);
      const r = await fetch(`${base}/live/segment${id}.m4s`);
      if (r.status !== 200) throw new Error(`segment ${id}: HTTP ${r.status}`);
      parts.push(Buffer.from(await r.arrayBuffer()));
      last = id;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  writeFileSync(file, Buffer.concat(parts));
  return parts.length - 1;
}

// Times (s) where the picture turns bright: mean luma over the frame crosses half scale.
async function flashTimes(file) {
  const { err } = await run('ffmpeg', ['-hide_banner', '-nostdin', '-i', file, '-map', '0:v', '-vf', 'showinfo', '-f', 'null', '-']);
  const times = [];
  let bright = false;
  for (const m of err.matchAll(/pts_time:\s*([\d.]+).*?mean:\[(\d+)/g)) {
    const now = Number(m[2]) > 128;
    if (now && !bright) times.push(Number(m[1]));
    bright = now;
  }
  return times;
}

// Times (s) where the sound starts: the first millisecond whose peak is above -20 dBFS after
// at least 200 ms below it (the codec's pre-echo ahead of an onset stays far below that).
async function beepTimes(file) {
  const { out } = await run('ffmpeg', ['-hide_banner', '-nostdin', '-i', file, '-map', '0:a', '-af',
    'asetnsamples=n=48:p=0,astats=metadata=1:reset=1,ametadata=print:key=lavfi.astats.Overall.Peak_level:file=-',
    '-f', 'null', '-']);
  const times = [];
  let t = null; let lastLoud = -Infinity;
  for (const line of out.split('\n')) {
    const pts = /pts_time:([\d.]+)/.exec(line);
    if (pts) { t = Number(pts[1]); continue; }
    const level = /Peak_level=(.+)$/.exec(line);
    if (!level || t === null || !(Number(level[1]) > -20)) continue;   // "-inf" is quiet
    if (t - lastLoud >= 0.2) times.push(t);
    lastLoud = t;
  }
  return times;
}

// Video onset minus audio onset for each flash that has both (ms): positive means the picture
// comes later than the sound.
export async function measureSync(file) {
  const [flashes, beeps] = await Promise.all([flashTimes(file), beepTimes(file)]);
  const offsets = [];
  for (const v of flashes) {
    const a = beeps.reduce((best, b) => (Math.abs(b - v) < Math.abs(best - v) ? b : best), Infinity);
    if (Math.abs(a - v) < 0.4) offsets.push(Math.round((v - a) * 1000));
  }
  const mean = offsets.length ? offsets.reduce((s, x) => s + x, 0) / offsets.length : null;
  const worst = offsets.length ? offsets.reduce((w, x) => (Math.abs(x) > Math.abs(w) ? x : w), 0) : null;
  return { flashes: flashes.length, beeps: beeps.length, offsetsMs: offsets, meanMs: mean === null ? null : Math.round(mean), worstMs: worst };
}
