// What the benchmarks that drive a real cast start, each stopped by its own PID: child
// processes, Xvfb, PulseAudio with a null sink, the cast driver; the CPU a process used; and
// the ffmpeg tool's video settings that match the writer's.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

// The browser tests' helpers, which check for their variables on import.
process.env.SKYLARK_HARNESS ||= 'unused';
process.env.SKYLARK_WEB_ROOT ||= 'unused';
const { until } = await import('../../tests/browser/pages/support.mjs');

export const SCREEN = { w: 1920, h: 1080 };
export const children = [];

// libx264 as the writer sets it up (src/platform/ffmpeg/video_encoder.cpp): ultrafast tuned for
// screens, 6 Mbit/s with a VBV at that rate, no B-frames, key frames only where forced or every
// 8 frames. Add the key-frame options of the segmenting in use.
export const WRITER_VIDEO = ['-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-pix_fmt', 'yuv420p',
  '-b:v', '6M', '-maxrate', '6M', '-bufsize', '3M', '-bf', '0',
  '-x264-params', 'scenecut=0:qcomp=1:cabac=1:deadzone-intra=6'];

export function start(cmd, args, opts = {}) {
  const child = spawn(cmd, args, { stdio: ['ignore', 'ignore', 'pipe'], ...opts });
  const err = [];
  child.stderr?.on('data', (d) => { err.push(d); if (err.length > 200) err.shift(); });
  child.errText = () => Buffer.concat(err).toString();
  children.push(child);
  return child;
}
export async function stop(child, graceMs = 3000) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const done = new Promise((r) => child.once('exit', r));
  child.kill('SIGTERM');
  const t = setTimeout(() => child.kill('SIGKILL'), graceMs);
  await done;
  clearTimeout(t);
}
export async function stopAll() {
  for (const c of children.reverse()) await stop(c, 1500).catch(() => {});
}

// CPU seconds (user + system) of a process, or of a thread as "<pid>/task/<tid>".
export function cpuSeconds(pid) {
  const f = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = f.slice(f.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100;   // utime + stime, in ticks of 1/100 s
}

export async function startXvfb() {
  let n = 140 + (process.pid % 50);
  while (existsSync(`/tmp/.X11-unix/X${n}`) || existsSync(`/tmp/.X${n}-lock`)) n++;
  const display = `:${n}`;
  start('Xvfb', [display, '-screen', '0', `${SCREEN.w}x${SCREEN.h}x24`, '-nolisten', 'tcp']);
  await until('Xvfb', () => existsSync(`/tmp/.X11-unix/X${n}`), 10000, 20);
  return display;
}
export async function startPulse(env) {
  mkdirSync(env.XDG_RUNTIME_DIR, { recursive: true, mode: 0o700 });
  mkdirSync(env.HOME, { recursive: true, mode: 0o700 });
  start('pulseaudio', ['--daemonize=no', '--exit-idle-time=-1', '--disallow-exit', '-n', '--use-pid-file=no',
    '--load=module-native-protocol-unix auth-anonymous=1',
    '--load=module-null-sink sink_name=tvsink rate=48000 channels=2', '--load=module-always-sink'], { env });
  const ok = () => new Promise((r) => spawn('pactl', ['info'], { env, stdio: 'ignore' }).on('exit', (c) => r(c === 0)));
  await until('PulseAudio', ok, 10000, 50);
  await new Promise((r) => spawn('pactl', ['set-default-sink', 'tvsink'], { env, stdio: 'ignore' }).on('exit', r));
}

// The cast driver (`driver`, a skylark_e2e_cast): real server on 8765 and the real caster,
// steered on standard input.
export async function startCast(driver, web, env) {
  const child = spawn(driver, [web], { env, stdio: ['pipe', 'pipe', 'pipe'] });
  children.push(child);
  child.stderr.on('data', () => {});
  const lines = createInterface({ input: child.stdout });
  const waiters = [];
  const seen = [];
  lines.on('line', (line) => {
    seen.push(line);
    for (const w of [...waiters]) if (w.re.test(line)) { waiters.splice(waiters.indexOf(w), 1); w.resolve(line); }
  });
  const expect = (re, ms = 15000) => new Promise((resolve, reject) => {
    const w = { re, resolve };
    waiters.push(w);
    setTimeout(() => { if (waiters.includes(w)) reject(new Error(`cast driver: no ${re} (${seen.slice(-3)})`)); }, ms);
  });
  await expect(/^listening/);
  return {
    pid: child.pid,
    send: (cmd) => child.stdin.write(`${cmd}\n`),
    expect,
    async quit() { child.stdin.end(); await stop(child, 5000); },
  };
}
