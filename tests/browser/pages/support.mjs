// What the page tests start: the harness (the real HTTP server and store), Chromium, an ffmpeg
// live stream fed into the store, and a network namespace for WebRTC. Everything is started
// here and stopped by its own PID or name; nothing is left running.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

export const HARNESS = process.env.SKYLARK_HARNESS;
export const WEB_ROOT = process.env.SKYLARK_WEB_ROOT;
export const CHROMIUM = process.env.SKYLARK_CHROMIUM || '/usr/lib/chromium/chromium';
export const SCREENSHOT_DIR = process.env.SKYLARK_SCREENSHOT_DIR || '';

if (!HARNESS || !WEB_ROOT) {
  throw new Error('SKYLARK_HARNESS and SKYLARK_WEB_ROOT must be set (ctest sets them)');
}

export const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

export function tempDir(prefix) {
  return mkdtempSync(join(tmpdir(), `skylark-${prefix}-`));
}

// Polls `check` until it returns a truthy value; throws with `what` when `timeoutMs` passes.
export async function until(what, check, timeoutMs = 15000, everyMs = 100) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(everyMs);
  }
}

// The harness, inside the namespace `netns` when given: `send(command)` resolves once it
// answered "ok".
export async function startHarness(netns = null) {
  const argv = [...(netns ? netns.exec : []), HARNESS, WEB_ROOT];
  const child = spawn(argv[0], argv.slice(1), { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = createInterface({ input: child.stdout });
  const waiting = [];
  let port = null;
  let ready;
  const listening = new Promise((resolve, reject) => {
    ready = resolve;
    child.once('exit', (code) => reject(new Error(`harness exited early (${code})`)));
  });
  lines.on('line', (line) => {
    const m = /^listening (\d+)$/.exec(line);
    if (m) { port = Number(m[1]); ready(); return; }
    const next = waiting.shift();
    if (next) line === 'ok' ? next.resolve() : next.reject(new Error(line));
  });
  await listening;
  return {
    port,
    send(command) {
      return new Promise((resolve, reject) => {
        waiting.push({ resolve, reject });
        child.stdin.write(`${command}\n`);
      });
    },
    async close() {
      child.stdin.end();
      await exited(child, 5000);
    },
  };
}

async function exited(child, graceMs) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const done = new Promise((resolve) => child.once('exit', resolve));
  const timer = setTimeout(() => child.kill('SIGKILL'), graceMs);
  await done;
  clearTimeout(timer);
}

// Chromium from Debian's package; `wrapper` (a script path) runs it inside a namespace.
export async function launchChromium(extraArgs = [], wrapper = null) {
  return chromium.launch({
    executablePath: wrapper || CHROMIUM,
    headless: true,
    args: [...CHROMIUM_ARGS, ...extraArgs],
  });
}

// A network namespace with one veth interface and a default route through it: Chromium
// gathers no ICE candidates for a page with only display capture when the only interface is
// loopback. Returns {name, address, exec: [prefix argv], chromiumWrapper, remove()}.
export function createNamespace() {
  const name = `skylark-web-${process.pid}`;
  const address = '198.18.0.1';
  const run = (...args) => {
    const r = spawnSync('ip', args, { encoding: 'utf8' });
    if (r.status !== 0) throw new Error(`ip ${args.join(' ')}: ${r.stderr.trim()}`);
  };
  run('netns', 'add', name);
  try {
    const inside = (...args) => run('netns', 'exec', name, 'ip', ...args);
    inside('link', 'set', 'lo', 'up');
    inside('link', 'add', 'fva', 'type', 'veth', 'peer', 'name', 'fvb');
    inside('addr', 'add', `${address}/24`, 'dev', 'fva');
    inside('link', 'set', 'fva', 'up');
    inside('link', 'set', 'fvb', 'up');
    inside('route', 'add', 'default', 'via', '198.18.0.2', 'dev', 'fva');
  } catch (error) {
    spawnSync('ip', ['netns', 'delete', name]);
    throw error;
  }
  const dir = tempDir('netns');
  const chromiumWrapper = join(dir, 'chromium-in-netns');
  writeFileSync(chromiumWrapper, `#!/bin/sh\nexec ip netns exec ${name} ${CHROMIUM} "$@"\n`);
  chmodSync(chromiumWrapper, 0o755);
  return {
    name,
    address,
    exec: ['ip', 'netns', 'exec', name],
    chromiumWrapper,
    remove() {
      spawnSync('ip', ['netns', 'delete', name]);
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

export function isRoot() {
  return typeof process.getuid === 'function' && process.getuid() === 0;
}

// Bit layout of the timestamp drawn into the test stream: a white start block, then BITS blocks
// of 16x16 pixels (white = 1, least significant first) holding the capture time in ms, mod 2^BITS.
export const STAMP_BITS = 24;
export const STAMP_BLOCK = 16;
export const STAMP_Y = 8;

function stampFilters() {
  const boxes = [`drawbox=x=0:y=${STAMP_Y}:w=${STAMP_BLOCK}:h=${STAMP_BLOCK}:color=white:t=fill`];
  for (let bit = 0; bit < STAMP_BITS; bit++) {
    const x = (bit + 1) * STAMP_BLOCK;
    // t is the frame's time: wall-clock seconds, set by the setpts before these boxes.
    boxes.push(`drawbox=x=${x}:y=${STAMP_Y}:w=${STAMP_BLOCK}:h=${STAMP_BLOCK}:color=white:t=fill:` +
      `enable='mod(floor(t*1000/${2 ** bit}),2)'`);
  }
  return boxes.join(',');
}

// A live fragmented-MP4 HLS stream of quarter-second segments from the ffmpeg command-line
// tool, in real time, fed into the store as ffmpeg finishes each segment. Each frame carries
// its capture time (see STAMP_*). `reset()` starts a new cast in the store (the identifiers
// restart) without stopping ffmpeg.
export async function startLiveStream(harness, { width = 640, height = 360 } = {}) {
  const dir = tempDir('stream');
  // One lavfi input with both streams: with two inputs ffmpeg reads each in a thread of its own
  // that runs several frames ahead of the real-time pacing, and the stamps would be early.
  const graph = `color=c=0x203050:s=${width}x${height}:r=24,settb=1/1000,setpts=RTCTIME/1000,` +
    `${stampFilters()},settb=1/24,setpts=N,format=yuv420p[out0];` +   // back to a steady 24 fps
    'sine=frequency=440:sample_rate=48000[out1]';
  const ffmpeg = spawn('ffmpeg', [
    '-hide_banner', '-loglevel', 'error', '-nostdin',
    '-re', '-f', 'lavfi', '-i', graph,
    '-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-profile:v', 'high',
    '-r', '24', '-g', '6', '-keyint_min', '6', '-sc_threshold', '0', '-b:v', '1500k',
    '-c:a', 'aac', '-b:a', '128k', '-ac', '2',
    // Write each segment out as soon as it is cut, as Skylark's own writer does.
    '-max_interleave_delta', '0', '-muxdelay', '0', '-muxpreload', '0',
    '-f', 'hls', '-hls_segment_type', 'fmp4', '-hls_time', '0.25', '-hls_list_size', '8',
    '-hls_flags', 'delete_segments+independent_segments+temp_file',
    '-hls_fmp4_init_filename', 'init.mp4', '-hls_segment_filename', join(dir, 'seg%d.m4s'),
    join(dir, 'stream.m3u8'),
  ], { stdio: ['ignore', 'ignore', 'inherit'] });

  let stopped = false;
  let needInit = true;
  let fed = -1;
  await harness.send('reset');
  // ffmpeg rewrites its playlist right after it finishes a segment: follow it closely.
  const follow = (async () => {
    while (!stopped) {
      let names = [];
      try {
        names = readFileSync(join(dir, 'stream.m3u8'), 'utf8').split('\n').filter((l) => l.endsWith('.m4s'));
      } catch { /* not written yet */ }
      for (const name of names) {
        const n = Number(/seg(\d+)\.m4s/.exec(name)[1]);
        if (n <= fed || stopped) continue;
        try {
          if (needInit) { await harness.send(`init ${join(dir, 'init.mp4')}`); needInit = false; }
          await harness.send(`segment ${join(dir, name)}`);
        } catch (error) {
          if (!stopped) throw error;
        }
        fed = n;
      }
      await sleep(10);
    }
  })();
  return {
    dir,
    // Puts `bytes` into the store as the next segment, between two of ffmpeg's.
    async inject(bytes) {
      const file = join(dir, 'injected.m4s');
      writeFileSync(file, bytes);
      await harness.send(`segment ${file}`);
    },
    async reset() {
      needInit = true;
      await harness.send('reset');
    },
    async stop() {
      stopped = true;
      await follow.catch(() => {});
      ffmpeg.kill('SIGTERM');
      await exited(ffmpeg, 3000);
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Installs in the page a reader of the timestamp drawn in the playing video: each presented
// frame is drawn into a canvas and its stamp decoded; window.__delays collects now - stamp.
export async function measureGlassToGlass(page, seconds) {
  return page.evaluate(async ({ bits, block, y, seconds }) => {
    const video = document.getElementById('video');
    const canvas = document.createElement('canvas');
    canvas.width = (bits + 1) * block;
    canvas.height = y + block;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    const delays = [];
    await new Promise((resolve) => {
      const end = performance.now() + seconds * 1000;
      const onFrame = () => {
        if (performance.now() > end) { resolve(); return; }
        const shown = Date.now();
        ctx.drawImage(video, 0, 0, canvas.width, canvas.height, 0, 0, canvas.width, canvas.height);
        const lum = (bx) => {
          const p = ctx.getImageData(bx * block + block / 2, y + block / 2, 1, 1).data;
          return (p[0] + p[1] + p[2]) / 3;
        };
        if (lum(0) > 160) {
          let value = 0;
          for (let bit = 0; bit < bits; bit++) if (lum(bit + 1) > 128) value += 2 ** bit;
          const modulus = 2 ** bits;
          const delay = ((shown % modulus) - value + modulus) % modulus;
          if (delay < 10000) delays.push(delay);
        }
        video.requestVideoFrameCallback(onFrame);
      };
      video.requestVideoFrameCallback(onFrame);
    });
    delays.sort((a, b) => a - b);
    return {
      frames: delays.length,
      medianMs: delays.length ? delays[Math.floor(delays.length / 2)] : null,
      p90Ms: delays.length ? delays[Math.floor(delays.length * 0.9)] : null,
    };
  }, { bits: STAMP_BITS, block: STAMP_BLOCK, y: STAMP_Y, seconds });
}

// How old a segment's first frame is when it enters the store: the part of the glass-to-glass
// delay that the test stream (ffmpeg) adds before any player sees the segment. Uses the playing
// video to map media time to capture time, so run it while the Skylark player plays.
export async function measureSourceDelay(page, seconds) {
  return page.evaluate(async ({ bits, block, y, seconds }) => {
    const video = document.getElementById('video');
    const modulus = 2 ** bits;
    const canvas = document.createElement('canvas');
    canvas.width = (bits + 1) * block;
    canvas.height = y + block;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    // Capture time (ms, mod 2^bits) of media time 0, from one presented frame.
    const stampMinusMedia = await new Promise((resolve) => {
      video.requestVideoFrameCallback((when, meta) => {
        ctx.drawImage(video, 0, 0, canvas.width, canvas.height, 0, 0, canvas.width, canvas.height);
        let value = 0;
        for (let bit = 0; bit < bits; bit++) {
          const p = ctx.getImageData((bit + 1) * block + block / 2, y + block / 2, 1, 1).data;
          if ((p[0] + p[1] + p[2]) / 3 > 128) value += 2 ** bit;
        }
        resolve(value - meta.mediaTime * 1000);
      });
    });
    const boxTime = (view, fourcc, timeOffset) => {
      for (let i = 4; i + 16 < view.byteLength; i++) {
        if (view.getUint32(i) !== fourcc) continue;
        const v1 = view.getUint8(i + 4) === 1;
        return { v1, at: i + 4, value: v1 ? view.getUint32(i + 8 + timeOffset) * 4294967296 + view.getUint32(i + 12 + timeOffset) : view.getUint32(i + 8 + timeOffset) };
      }
      return null;
    };
    const init = new DataView(await (await fetch('/live/init.mp4')).arrayBuffer());
    const mdhd = boxTime(init, 0x6d646864, 0);   // 'mdhd' of the first (video) track
    const timescale = init.getUint32(mdhd.at + (mdhd.v1 ? 20 : 12));
    const ages = [];
    let newest = -1;
    const end = performance.now() + seconds * 1000;
    while (performance.now() < end) {
      const ids = [...(await (await fetch('/live/stream.m3u8')).text()).matchAll(/segment(\d+)\.m4s/g)];
      const id = Number(ids[ids.length - 1][1]);
      if (id !== newest) {
        const arrived = Date.now();
        const segment = new DataView(await (await fetch(`/live/segment${id}.m4s`)).arrayBuffer());
        const tfdt = boxTime(segment, 0x74666474, 0);
        if (newest !== -1 && tfdt) {   // the first one seen may have been waiting a while
          const captured = stampMinusMedia + (tfdt.value / timescale) * 1000;
          ages.push((((arrived % modulus) - captured) % modulus + modulus) % modulus);
        }
        newest = id;
      }
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
    ages.sort((a, b) => a - b);
    return { segments: ages.length, medianMs: ages.length ? Math.round(ages[Math.floor(ages.length / 2)]) : null };
  }, { bits: STAMP_BITS, block: STAMP_BLOCK, y: STAMP_Y, seconds });
}

export async function screenshot(page, name) {
  if (!SCREENSHOT_DIR) return;
  await page.screenshot({ path: join(SCREENSHOT_DIR, name) });
}

