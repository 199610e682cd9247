// The services a run starts and ends: Xvfb, PulseAudio, the cast driver (the real server and
// caster), nginx and the ffmpeg command-line peer; every child is ended by its PID.
import { spawn } from 'node:child_process';
import { cpSync, existsSync, mkdirSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { BUILD, SCREEN, WEB, monoMs, until, work } from './options.mjs';
import { SPEAKER } from './heard_sync.mjs';

const children = [];

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
    '--load=module-null-sink sink_name=tvsink rate=48000 channels=2',
    // The TV's speaker: where a TV page's sound is heard, apart from the sink the cast records.
    `--load=module-null-sink sink_name=${SPEAKER} rate=48000 channels=2`, '--load=module-always-sink'], { env });
  const ok = () => new Promise((r) => spawn('pactl', ['info'], { env, stdio: 'ignore' }).on('exit', (c) => r(c === 0)));
  await until('PulseAudio', ok, 10000, 50);
  await new Promise((r) => spawn('pactl', ['set-default-sink', 'tvsink'], { env, stdio: 'ignore' }).on('exit', r));
}

// The cast driver (a skylark_e2e_cast, this tree's unless another is given): real server on
// 8765 and the real caster, steered on standard input.
export async function startCast(env, driver = join(BUILD, 'bin/skylark_e2e_cast'), web = WEB) {
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
export const liveNow = async (base) => {
  try { return (await (await fetch(`${base}/api/live`)).json()).active === true; } catch { return false; }
};
// "start", then the time from the key press in the picker to the first {"active":true}.
export async function castAndTimeToLive(cast, base) {
  const selected = cast.expect(/^selected \d+/);
  cast.send('start');
  const at = Number(/^selected (\d+)/.exec(await selected)[1]) / 1e6;
  let initAt = null;
  await until('/api/live true', async () => {
    if (initAt === null) {
      try { if ((await fetch(`${base}/live/init.mp4`)).status === 200) initAt = monoMs() - at; } catch { /* not yet */ }
    }
    return liveNow(base);
  }, 15000, 5);
  const total = monoMs() - at;
  castAndTimeToLive.initMs.push(initAt === null ? total : initAt);
  return total;
}
castAndTimeToLive.initMs = [];   // selection to the initialization segment, per cast
export async function stopCast(cast) {
  const ready = cast.expect(/^state 0 Ready/);
  cast.send('stop');
  await ready;
}

export function startNginx(root, liveDir, port) {
  const dir = join(work, `nginx-${port}`);
  mkdirSync(dir, { recursive: true });
  const conf = join(dir, 'nginx.conf');
  writeFileSync(conf, `daemon off; master_process off; worker_processes 1; pid ${dir}/nginx.pid;
error_log ${dir}/error.log;
events { worker_connections 512; }
http {
  access_log off; client_body_temp_path ${dir}/b; proxy_temp_path ${dir}/p; fastcgi_temp_path ${dir}/f;
  uwsgi_temp_path ${dir}/u; scgi_temp_path ${dir}/s;
  types { text/html html; application/vnd.apple.mpegurl m3u8; video/mp4 mp4 m4s; video/mp2t ts; }
  server {
    listen ${port};
    root ${root};
    location = /api/live { default_type application/json; return 200 '{"active":true}'; }
    location = /api/command { default_type application/json; return 200 '{"stopToken":0}'; }
    location /api/ { return 204; }
    location /live/ { alias ${liveDir}/; add_header Cache-Control no-store; }
  }
}
`);
  return start('nginx', ['-c', conf, '-p', dir]);
}

// The ffmpeg command-line peer: the same screen, the same sound, libx264 with the writer's
// settings (ultrafast, zerolatency, 6 Mbit/s with a VBV at that rate, no B-frames, a key frame
// every 0.25 s) and AAC 192 kbit/s, into HLS. `lowLatency`: fMP4, quarter-second segments, 8
// in the list; otherwise the tool's default HLS (2 s MPEG-TS segments) with a 2 s key-frame
// interval, which those segments need.
export function startFfmpegPeer(env, display, liveDir, lowLatency, audio = true) {
  rmSync(liveDir, { recursive: true, force: true });
  mkdirSync(liveDir, { recursive: true });
  const video = WRITER_VIDEO;
  const keys = lowLatency ? ['-g', '8', '-force_key_frames', 'expr:gte(t,n_forced*0.25)'] : ['-g', '60'];
  const hls = lowLatency
    ? ['-max_interleave_delta', '0', '-muxdelay', '0', '-muxpreload', '0',
      '-f', 'hls', '-hls_segment_type', 'fmp4', '-hls_time', '0.25', '-hls_list_size', '8',
      '-hls_flags', 'delete_segments+independent_segments+temp_file', '-hls_fmp4_init_filename', 'init.mp4',
      '-hls_segment_filename', join(liveDir, 'segment%d.m4s'), join(liveDir, 'stream.m3u8')]
    : ['-f', 'hls', join(liveDir, 'stream.m3u8')];
  // PulseAudio's default record fragment is about 2 s, which would hold the muxer back as long:
  // 20 ms fragments, as Skylark's capture reads.
  return start('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-nostdin',
    '-f', 'x11grab', '-framerate', '30', '-video_size', `${SCREEN.w}x${SCREEN.h}`, '-draw_mouse', '0',
    '-i', `${display}+0,0`,
    ...(audio ? ['-f', 'pulse', '-fragment_size', '3840', '-i', 'tvsink.monitor'] : []),
    ...video, ...keys, ...(audio ? ['-c:a', 'aac', '-b:a', '192k', '-ar', '48000', '-ac', '2'] : ['-an']), ...hls], { env });
}

// nginx serving the TV page and the peer's stream on port 8766, started once, on first use.
let nginx = null;
export const peerLive = join(work, 'peer-live');
export const peerBase = 'http://198.18.0.1:8766';
export function peerServer() {
  if (nginx) return;
  const www = join(work, 'www');
  mkdirSync(www, { recursive: true });
  for (const f of readdirSync(WEB)) cpSync(join(WEB, f), join(www, f));
  nginx = startNginx(www, peerLive, 8766);
}
export async function stopPeerServer() {
  if (nginx) await stop(nginx);
  nginx = null;
}
