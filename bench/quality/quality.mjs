// Picture quality of a cast against lossless grabs of the same screen, per frame. Run it through
// bench/quality/run, which builds the programs and runs this inside a network namespace of its
// own (the cast driver's server takes port 8765 there).
//
// node quality.mjs --build <build dir> --docs <docs dir> [--seconds N] [--scenes still,scroll,motion]
//                  [--baseline <cast driver built from another revision>] [--keep]
//
// For each scene: the scene program draws each of its states on Xvfb and grabs it; then each cast
// (Skylark, the baseline's Skylark, the ffmpeg tool at the writer's settings and at x264's
// ultrafast defaults) records the screen for N seconds; every decoded frame of the last N seconds
// is paired with the grab its stamp names, and the pairing is checked against the times the
// states were drawn.
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir, loadavg } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';
import { recordStream } from '../e2e/av_sync.mjs';
import { SCREEN } from '../e2e/options.mjs';
import { cpuSeconds } from '../e2e/meters.mjs';
import { WRITER_VIDEO, start, startCast, startPulse, startXvfb, stop, stopAll } from '../e2e/services.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const arg = (name, fallback = null) => {
  const i = process.argv.indexOf(name);
  return i >= 0 ? process.argv[i + 1] : fallback;
};
const BUILD = resolve(arg('--build', join(here, '../../build-e2e')));
const DOCS = resolve(arg('--docs', join(here, '../../docs')));
const WEB = join(BUILD, 'share/skylark/web');
const SECONDS = Number(arg('--seconds', 10));
const SCENES = arg('--scenes', 'still,scroll,motion').split(',');
const BASELINE = arg('--baseline');
const KEEP = process.argv.includes('--keep');   // keeps the recordings and per-frame figures
// Recorded before the measured seconds: a cast's rate control settles over its first two seconds,
// whose key frames are coarser.
const LEAD_S = 3;
const BASE = 'http://127.0.0.1:8765';
// The libx264 settings every cast used before they were tuned for screens, for the ffmpeg tool.
const ULTRAFAST_VIDEO = ['-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-pix_fmt', 'yuv420p',
  '-b:v', '6M', '-maxrate', '6M', '-bufsize', '3M', '-bf', '0', '-x264-params', 'scenecut=0'];
const SCENE_NAMES = {
  still: 'still screen of dense 10-12 px text', scroll: 'that text scrolling a line per 100 ms',
  motion: 'full motion (a large moving photo-like picture)',
};
// Where the text crops come from: a corner of the first column, shown twice its size.
const CROP = { x: 0, y: 120, w: 400, h: 150 };

const work = mkdtempSync(join(tmpdir(), 'skylark-quality-'));
const log = (...a) => console.log(`[quality ${new Date().toISOString().slice(11, 19)}]`, ...a);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function run(cmd, args, opts = {}) {
  return new Promise((resolvePromise, reject) => {
    const child = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'], ...opts });
    const out = []; const err = [];
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => err.push(d));
    child.on('error', reject);
    child.on('exit', (code) => (code === 0 ? resolvePromise(Buffer.concat(out).toString())
      : reject(new Error(`${cmd} exited ${code}: ${Buffer.concat(err).toString().slice(-400)}`))));
  });
}

// Draws each state the casts will meet and grabs it from the screen, before any cast runs.
async function grabScene(env, scene, references) {
  const rate = { still: 0, scroll: 10, motion: 30 }[scene];
  await run(join(BUILD, 'bin/skylark_quality_scene'), ['grab', scene, references, String(Math.ceil(1 + (SECONDS + LEAD_S + 3) * rate))], { env });
}

// The scene's first state on screen; `go()` starts its clock. `shown[n]` is when state n was drawn.
async function startScene(env, scene) {
  const child = start(join(BUILD, 'bin/skylark_quality_scene'), ['show', scene], { env, stdio: ['pipe', 'pipe', 'pipe'] });
  const shown = [];
  let first;
  const drawn = new Promise((r) => { first = r; });
  createInterface({ input: child.stdout }).on('line', (line) => {
    const m = /^state (\d+) (\d+)/.exec(line);
    if (m) { shown[Number(m[1])] = Number(m[2]) / 1e9; first(); }
  });
  await Promise.race([drawn, sleep(20000).then(() => { throw new Error(`scene ${scene} did not draw: ${child.errText()}`); })]);
  return { child, shown, go: () => child.stdin.write('go\n') };
}

async function recordCast(env, driver, go, file) {
  const cast = await startCast(env, driver, WEB);
  try {
    const ready = cast.expect(/^state 1 /, 20000);
    cast.send('start');
    await ready;
    for (let i = 0; i < 400; ++i) {
      try { if ((await (await fetch(`${BASE}/api/live`)).json()).active) break; } catch { /* not yet */ }
      await sleep(25);
    }
    go();   // after the picker has gone
    // From the first segment on, as a player reads it; the CPU over the measured seconds.
    const recording = recordStream(BASE, LEAD_S + SECONDS, file);
    await sleep(LEAD_S * 1000);
    const c0 = cpuSeconds(cast.pid); const t0 = performance.now();
    await recording;
    const cpu = (cpuSeconds(cast.pid) - c0) / ((performance.now() - t0) / 1000);
    const stopped = cast.expect(/^state 0 /);
    cast.send('stop');
    await stopped;
    return cpu;
  } finally {
    await cast.quit();
  }
}

async function recordTool(env, display, video, go, file) {
  go();
  const ff = start('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-nostdin',
    '-f', 'x11grab', '-framerate', '30', '-video_size', `${SCREEN.w}x${SCREEN.h}`, '-draw_mouse', '0', '-i', `${display}+0,0`,
    ...video, '-g', '8', '-force_key_frames', 'expr:gte(t,n_forced*0.25)', '-an',
    '-t', String(SECONDS + LEAD_S + 1), '-movflags', 'frag_keyframe+empty_moov+default_base_moof', '-f', 'mp4', file], { env });
  const exited = new Promise((r) => ff.once('exit', r));
  await sleep(LEAD_S * 1000 + 500);
  const c0 = cpuSeconds(ff.pid); const t0 = performance.now();
  await sleep(SECONDS * 1000);
  const cpu = (cpuSeconds(ff.pid) - c0) / ((performance.now() - t0) / 1000);
  const code = await exited;
  if (code !== 0) throw new Error(`ffmpeg tool: ${ff.errText()}`);
  return cpu;
}

const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.floor((values.length - 1) * p)];
const mean = (values) => values.reduce((a, b) => a + b, 0) / values.length;

// Pairs and measures the last SECONDS of a recording; checks each frame's state against when it
// was drawn.
async function measure(file, references, drawn) {
  // Each packet's time and size; each decoded frame's time and type from the decoder itself, so
  // the pairing holds even where a frame does not decode.
  const packets = (await run('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries',
    'packet=pts_time,size,flags', '-of', 'csv=p=0', file])).trim().split('\n')
    .map((line) => { const [t, size, flags] = line.split(','); return { t: Number(t), bytes: Number(size), key: flags.startsWith('K') }; });
  const decoded = spawn('ffmpeg', ['-v', 'info', '-nostdin', '-i', file, '-map', '0:v:0', '-fps_mode', 'passthrough',
    '-vf', 'extractplanes=y,showinfo', '-f', 'rawvideo', '-']);
  const shown = [];
  createInterface({ input: decoded.stderr }).on('line', (l) => {
    const m = /pts_time:\s*([\d.]+).*type:(\w)/.exec(l);
    if (m) shown.push({ t: Number(m[1]), key: m[2] === 'I' });
  });
  const compare = spawn(join(BUILD, 'bin/skylark_quality_compare'), [references], { stdio: ['pipe', 'pipe', 'inherit'] });
  decoded.stdout.pipe(compare.stdin);
  const lines = [];
  createInterface({ input: compare.stdout }).on('line', (l) => lines.push(l));
  await Promise.all([new Promise((r) => compare.on('exit', r)), new Promise((r) => decoded.on('exit', r))]);
  if (lines.length !== shown.length) throw new Error(`${file}: ${lines.length} frames measured, ${shown.length} decoded`);
  const frames = lines.map((l, i) => {
    const [, state, s, p] = l.split(' ');
    return { ...shown[i], index: i, state: state === 'unreadable' ? null : Number(state), ssim: Number(s), psnr: Number(p) };
  });
  const end = frames.at(-1).t;
  const window = frames.filter((f) => f.t > end - SECONDS);
  const paired = window.filter((f) => f.state !== null);
  // The stream's clock against the scene's: the median of (drawn - presented) over the frames
  // that first show a state.
  const firsts = paired.filter((f, i) => i > 0 && f.state !== paired[i - 1].state && drawn[f.state] !== undefined);
  const offset = firsts.length ? percentile(firsts.map((f) => drawn[f.state] - f.t), 0.5) : 0;
  const tolerance = 0.05;
  const misplaced = paired.filter((f, i) => (i > 0 && f.state < paired[i - 1].state) || (firsts.length > 0 && (
    f.t + offset < drawn[f.state] - tolerance || (drawn[f.state + 1] !== undefined && f.t + offset > drawn[f.state + 1] + tolerance))));
  const ssims = paired.map((f) => f.ssim);
  // The packets' own times may count from another origin than the decoder's.
  const last = packets.reduce((a, p) => Math.max(a, p.t), 0);
  const inWindow = packets.filter((p) => p.t > last - SECONDS);
  const bits = inWindow.reduce((a, p) => a + p.bytes * 8, 0);
  return {
    frames: window.length, unreadable: window.length - paired.length, misplaced: misplaced.length,
    ssim: mean(ssims), p5: percentile(ssims, 0.05), min: Math.min(...ssims), psnr: mean(paired.map((f) => f.psnr)),
    keySsim: mean(paired.filter((f) => f.key).map((f) => f.ssim)), otherSsim: mean(paired.filter((f) => !f.key).map((f) => f.ssim)),
    mbps: bits / SECONDS / 1e6, keyKB: mean(inWindow.filter((p) => p.key).map((p) => p.bytes)) / 1024,
    otherKB: mean(inWindow.filter((p) => !p.key).map((p) => p.bytes)) / 1024,
    all: paired,
  };
}

// The screen next to each cast's picture of it: the frame nearest the first cast's mean SSIM,
// and in the others a frame of the same state.
async function crop(scene, references, recorded, out) {
  const [lead, ...rest] = recorded;
  const pick = lead.m.all.reduce((best, f) => (Math.abs(f.ssim - lead.m.ssim) < Math.abs(best.ssim - lead.m.ssim) ? f : best));
  const picks = [pick, ...rest.map((r) => r.m.all.find((f) => f.state === pick.state) ?? r.m.all[0])];
  const cut = `crop=${CROP.w}:${CROP.h}:${CROP.x}:${CROP.y},scale=iw*2:ih*2:flags=neighbor`;
  const inputs = ['-f', 'rawvideo', '-pix_fmt', 'gray', '-s', `${SCREEN.w}x${SCREEN.h}`, '-i', join(references, `${pick.state}.y`)];
  // Limited-range luma throughout, stretched to full range once for the picture.
  const graph = [`[0]setparams=range=tv,${cut}[s]`];
  recorded.forEach((r, i) => {
    inputs.push('-i', r.file);
    graph.push(`[${i + 1}:v]select=eq(n\\,${picks[i].index}),extractplanes=y,setparams=range=tv,${cut}[c${i}]`);
  });
  graph.push(`[s]${recorded.map((_, i) => `[c${i}]`).join('')}hstack=${recorded.length + 1},scale=in_range=tv:out_range=pc,format=gray`);
  await run('ffmpeg', ['-v', 'error', '-y', '-nostdin', ...inputs, '-filter_complex', graph.join(';'), '-frames:v', '1', '-update', '1', out]);
  return picks.map((p) => p.ssim);
}

async function main() {
  mkdirSync(DOCS, { recursive: true });
  const display = await startXvfb();
  const env = { ...process.env, DISPLAY: display, XDG_RUNTIME_DIR: join(work, 'run'), HOME: join(work, 'home') };
  await startPulse(env);
  const casts = [
    { name: 'Skylark', driver: join(BUILD, 'bin/skylark_e2e_cast') },
    ...(BASELINE ? [{ name: 'Skylark before', driver: resolve(BASELINE) }] : []),
    { name: 'ffmpeg tool, the writer\'s settings', video: WRITER_VIDEO },
    { name: 'ffmpeg tool, x264 ultrafast as before', video: ULTRAFAST_VIDEO },
  ];
  const load = loadavg()[0];
  const rows = [];
  for (const scene of SCENES) {
    const references = join(work, `grabs-${scene}`);
    mkdirSync(references, { recursive: true });
    await grabScene(env, scene, references);
    const recorded = [];
    for (const [i, cast] of casts.entries()) {
      const { child, shown, go } = await startScene(env, scene);
      const file = join(work, `${scene}-${i}.mp4`);
      const cpu = cast.driver ? await recordCast(env, cast.driver, go, file) : await recordTool(env, display, cast.video, go, file);
      await stop(child);
      const m = await measure(file, references, shown);
      recorded.push({ cast, file, m });
      log(`${scene}, ${cast.name}: SSIM ${m.ssim.toFixed(3)} p5 ${m.p5.toFixed(3)} min ${m.min.toFixed(3)} PSNR ${m.psnr.toFixed(1)} dB,`,
        `key ${m.keySsim.toFixed(3)} other ${m.otherSsim.toFixed(3)}, ${m.mbps.toFixed(2)} Mbit/s (key ${m.keyKB.toFixed(0)} KB, other ${m.otherKB.toFixed(1)} KB),`,
        `CPU ${cpu.toFixed(2)} s/s; ${m.frames} frames, ${m.unreadable} unreadable, ${m.misplaced} off their time`);
      rows.push({ scene, cast: cast.name, cpu, ...m, all: undefined });
      if (KEEP) writeFileSync(`${file}.frames.json`, JSON.stringify(m.all));
    }
    if (scene !== 'motion') {
      const castsOnly = recorded.filter((r) => r.cast.driver);
      const out = join(DOCS, `quality-${scene}.png`);
      const at = await crop(scene, references, castsOnly, out);
      log(`${out}: the screen, then ${castsOnly.map((r, i) => `${r.cast.name} (SSIM ${at[i].toFixed(3)})`).join(', ')}`);
    }
    if (!KEEP) rmSync(references, { recursive: true, force: true });
  }
  const f = (x, d) => (Number.isFinite(x) ? x.toFixed(d) : '-');
  const lines = [
    `# Picture quality: ${SECONDS} s per scene, 1920x1080`, '',
    `Written by bench/quality/run on ${new Date().toISOString().slice(0, 16).replace('T', ' ')} UTC; load average ${load.toFixed(2)} at the start`,
    '(2 cores; the CPU figures are CPU seconds per second of the cast driver or the ffmpeg tool).', '',
    '| Scene | Cast | SSIM mean | p5 | min | PSNR dB | SSIM key frames | other frames | Mbit/s | key frame KB | other KB | CPU s/s | frames (unreadable, off time) |',
    '|---|---|---|---|---|---|---|---|---|---|---|---|---|',
    ...rows.map((r) => `| ${SCENE_NAMES[r.scene]} | ${r.cast} | ${f(r.ssim, 3)} | ${f(r.p5, 3)} | ${f(r.min, 3)} | ${f(r.psnr, 1)} | ` +
      `${f(r.keySsim, 3)} | ${f(r.otherSsim, 3)} | ${f(r.mbps, 2)} | ${f(r.keyKB, 0)} | ${f(r.otherKB, 1)} | ${f(r.cpu, 2)} | ${r.frames} (${r.unreadable}, ${r.misplaced}) |`),
  ];
  console.log(lines.join('\n'));
  writeFileSync(join(DOCS, 'quality.md'), `${lines.join('\n')}\n`);
}

process.on('SIGINT', async () => { await stopAll(); process.exit(130); });
try {
  await main();
} finally {
  await stopAll();
  if (KEEP) log(`kept ${work}`); else rmSync(work, { recursive: true, force: true });
}
