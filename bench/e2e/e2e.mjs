// The end-to-end harness: glass-to-glass latency of every path and peer, cost, and endurance.
// Run it through bench/e2e/run, which builds the programs and runs this inside a network
// namespace of its own (the server takes port 8765 there, and WebRTC gathers candidates).
//
// node e2e.mjs --build <build dir> --docs <docs dir> [--quick] [--endurance-minutes N]
//              [--no-endurance] [--cycles N]
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync, cpSync, readdirSync } from 'node:fs';
import { tmpdir, loadavg } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { drawPlot } from './plot.mjs';
import { recordStream, measureSync } from './av_sync.mjs';
import { TRACE_HOOK } from './player_trace.mjs';
import { SCREEN, WRITER_VIDEO, cpuSeconds, start, startCast as startDriver, startPulse, startXvfb, stop, stopAll } from './services.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const arg = (name, fallback = null) => {
  const i = process.argv.indexOf(name);
  return i >= 0 ? process.argv[i + 1] : fallback;
};
const QUICK = process.argv.includes('--quick');
// Parts to run, comma-separated: skylark (both paths' latency), peers, motion (cost on a
// full-motion screen), sync (audio against video), memory (four TV pages, twenty casts), long
// (cycles, endurance), engines (the native path in each browser engine, with skylark; not run
// by default).
const PARTS = (arg('--only') || 'skylark,peers,motion,sync,memory,long').split(',');
const TAG = arg('--tag', QUICK ? 'quick' : '');
const named = (base, ext) => `${base}${TAG ? `-${TAG}` : ''}.${ext}`;
const BUILD = resolve(arg('--build', join(here, '../../build-e2e')));
const DOCS = resolve(arg('--docs', join(here, '../../docs')));
const WEB = join(BUILD, 'share/skylark/web');
const MEASURE_S = Number(arg('--seconds', QUICK ? 15 : 60));
const ENDURANCE_MIN = process.argv.includes('--no-endurance') || QUICK ? 0 : Number(arg('--endurance-minutes', 10));
const CYCLES = Number(arg('--cycles', QUICK ? 3 : 20));
const READER_MIN = Number(arg('--reader-minutes', QUICK ? 1 : 5));
// A JSON file for the own player's trace (player_trace.mjs) and latency samples; with it the
// skylark part measures only that player.
const TRACE = arg('--trace-player');
const STAMP = { bits: 24, block: 16, top: 8 };

// The browser tests' helpers, which check for their variables on import.
process.env.SKYLARK_HARNESS ||= 'unused';
process.env.SKYLARK_WEB_ROOT ||= WEB;
const { CHROMIUM, CHROMIUM_ARGS, sleep, until } = await import('../../tests/browser/pages/support.mjs');
const { chromium } = await import('playwright-core');

const work = mkdtempSync(join(tmpdir(), 'skylark-e2e-'));
const log = (...a) => console.log(`[e2e ${new Date().toISOString().slice(11, 19)}]`, ...a);
const monoMs = () => Number(process.hrtime.bigint()) / 1e6;   // CLOCK_MONOTONIC, as the clock window

// ---- process cost ------------------------------------------------------------------------
function memoryMB(pid) {
  const s = readFileSync(`/proc/${pid}/status`, 'utf8');
  const kb = (k) => Number(new RegExp(`${k}:\\s+(\\d+)`).exec(s)?.[1] ?? NaN);
  return { rss: kb('VmRSS') / 1024, peak: kb('VmHWM') / 1024 };
}
// CPU seconds of each thread, by thread name.
function threadCpu(pid) {
  const out = {};
  for (const tid of readdirSync(`/proc/${pid}/task`)) {
    try {
      const name = readFileSync(`/proc/${pid}/task/${tid}/comm`, 'utf8').trim().replace(/\d+$/, '#');
      out[name] = (out[name] || 0) + cpuSeconds(`${pid}/task/${tid}`);
    } catch { /* the thread ended */ }
  }
  return out;
}
function cpuMeter(pid) {
  const c0 = cpuSeconds(pid); const t0 = monoMs(); const th0 = threadCpu(pid);
  return () => {
    const s = (monoMs() - t0) / 1000; const th = threadCpu(pid);
    const threads = Object.fromEntries(Object.entries(th).map(([k, v]) => [k, Number(((v - (th0[k] || 0)) / s).toFixed(3))])
      .filter(([, v]) => v >= 0.005).sort((a, b) => b[1] - a[1]));
    return { cpuPerS: (cpuSeconds(pid) - c0) / s, peakMB: memoryMB(pid).peak, threads };
  };
}

// What each of the driver's threads does (names as the kernel keeps them, 15 characters).
const STAGES = {
  'skylark-grab': 'screen capture + convert', 'threaded-ml': 'sound capture', 'k.capture.video': 'sample hand-over',
  'skylark-writer': 'encode + mux', 'skylark-encode': 'encode, x264 slice workers',
  'skylark-server': 'HTTP server', 'rk.caster.tasks': 'start/stop tasks',
};

// ---- services ----------------------------------------------------------------------------
const startCast = (env) => startDriver(join(BUILD, 'bin/skylark_e2e_cast'), WEB, env);
const liveNow = async (base) => {
  try { return (await (await fetch(`${base}/api/live`)).json()).active === true; } catch { return false; }
};
// "start", then the time from the key press in the picker to the first {"active":true}.
async function castAndTimeToLive(cast, base) {
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
async function stopCast(cast) {
  const ready = cast.expect(/^state 0 Ready/);
  cast.send('stop');
  await ready;
}

function startNginx(root, liveDir, port) {
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
function startFfmpegPeer(env, display, liveDir, lowLatency, audio = true) {
  rmSync(liveDir, { recursive: true, force: true });
  mkdirSync(liveDir, { recursive: true });
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
    ...WRITER_VIDEO, ...keys, ...(audio ? ['-c:a', 'aac', '-b:a', '192k', '-ar', '48000', '-ac', '2'] : ['-an']), ...hls], { env });
}

// ---- reading the clock back from the playing video ---------------------------------------
// Installed in each TV page before its scripts: hls.js's fatal errors, counted where hls.js
// reports them.
const HLS_HOOK = `(() => {
  let H;
  window.__hlsFatal = [];
  Object.defineProperty(window, 'Hls', { configurable: true, get() { return H; }, set(v) {
    H = v;
    try {
      const trigger = v.prototype.trigger;
      v.prototype.trigger = function (event, data) {
        if (event === 'hlsError' && data && data.fatal) window.__hlsFatal.push(String(data.details));
        return trigger.apply(this, arguments);
      };
      window.__hlsHooked = true;
    } catch (e) { /* an hls.js of another shape */ }
  } });
})();`;

// Every presented frame: draw the stamp's corner of the video, decode the clock, record
// (monotonic now, now - stamp); gaps between presented frames; the buffered media ahead.
function readerSource() {
  return ({ offset, bits, block, top, screenW }) => {
    const video = document.getElementById('video');
    const canvas = document.createElement('canvas');
    canvas.width = (bits + 1) * block;
    canvas.height = top + block;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    const st = window.__e2e = { samples: [], stalls: [], last: null, frames: 0, unread: 0, ahead: [] };
    st.reset = () => { st.samples = []; st.stalls = []; st.last = null; st.frames = 0; st.unread = 0; st.ahead = []; };
    const onFrame = () => {
      const mono = Date.now() - offset;
      if (st.last !== null && mono - st.last > 500) st.stalls.push(Math.round(mono - st.last));
      st.last = mono;
      st.frames++;
      const scale = video.videoWidth / screenW;
      if (scale > 0) {
        ctx.drawImage(video, 0, 0, canvas.width * scale, canvas.height * scale, 0, 0, canvas.width, canvas.height);
        const d = ctx.getImageData(0, 0, canvas.width, canvas.height).data;
        const y = top + block / 2;
        const lum = (x) => { const i = (y * canvas.width + x) * 4; return (d[i] + d[i + 1] + d[i + 2]) / 3; };
        if (lum(block / 2) > 160) {
          let v = 0;
          for (let bit = 0; bit < bits; bit++) if (lum((bit + 1) * block + block / 2) > 128) v += 2 ** bit;
          const m = 2 ** bits;
          const delay = (((mono % m) - v) % m + m) % m;
          if (delay < 20000) st.samples.push([Math.round(mono), Math.round(delay)]); else st.unread++;
        } else st.unread++;
      }
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
    setInterval(() => {
      const b = video.buffered;
      if (b.length && !video.paused) st.ahead.push(b.end(b.length - 1) - video.currentTime);
    }, 500);
  };
}

let clockOffset = 0;   // Date.now() - monotonic ms, the same in every process of this machine
async function openTv(browser, url) {
  const page = await browser.newPage({ viewport: { width: 960, height: 540 } });
  await page.addInitScript(HLS_HOOK);
  if (TRACE) await page.addInitScript(`window.__traceOffset = ${clockOffset};\n${TRACE_HOOK}`);
  page.segmentIds = [];
  page.on('request', (r) => {
    const m = /segment(\d+)\.m4s$/.exec(r.url());
    if (m) page.segmentIds.push(Number(m[1]));
  });
  await page.goto(url);
  await page.evaluate(readerSource().toString().replace(/^/, '(') + `)(${JSON.stringify({
    offset: clockOffset, bits: STAMP.bits, block: STAMP.block, top: STAMP.top, screenW: SCREEN.w })})`);
  return page;
}
const readState = (page) => page.evaluate(() => ({
  samples: window.__e2e.samples, stalls: window.__e2e.stalls, frames: window.__e2e.frames,
  unread: window.__e2e.unread, ahead: window.__e2e.ahead, hlsFatal: window.__hlsFatal, hooked: !!window.__hlsHooked,
  mode: document.body.dataset.mode,
}));
async function waitForClock(page, ms = 30000) {
  await until('the clock in the playing video', async () =>
    (await page.evaluate(() => window.__e2e.samples.length)) > 10, ms, 200);
}
const pct = (xs, p) => {
  if (!xs.length) return null;
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor(p * s.length))];
};
const median = (xs) => pct(xs, 0.5);

// Measures one path for MEASURE_S seconds after it settles; returns the figures and the series.
async function measure(page, name, meter = null) {
  await waitForClock(page);
  await sleep(QUICK ? 2000 : 5000);   // past the start-up catch-up
  await page.evaluate(() => window.__e2e.reset());
  const cost = meter ? meter() : null;
  await sleep(MEASURE_S * 1000);
  const st = await readState(page);
  const delays = st.samples.map((s) => s[1]);
  const r = {
    name, frames: st.frames, read: delays.length, unread: st.unread,
    p50: median(delays), p95: pct(delays, 0.95), p99: pct(delays, 0.99), max: pct(delays, 1),
    aheadMs: st.ahead.length ? Math.round(median(st.ahead) * 1000) : null,
    stalls: st.stalls.length, hlsFatal: st.hlsFatal.length, mode: st.mode,
    cost: cost ? cost() : null,
    t0: st.samples[0]?.[0] ?? 0, series: st.samples,
  };
  log(`${name}: p50 ${r.p50} p95 ${r.p95} p99 ${r.p99} ms over ${r.read} frames (mode ${r.mode}, ` +
    `ahead ${r.aheadMs} ms${r.cost ? `, cpu ${r.cost.cpuPerS.toFixed(2)} s/s, peak ${r.cost.peakMB.toFixed(0)} MB` : ''})`);
  return r;
}

// Where the native path's time goes: how old a segment's first frame is when the segment first
// shows in the playlist (capture + encode + the segment's own 0.25 s + store), and the HTTP
// time of a segment request. Uses one presented frame to map media time to clock time.
async function sourceAge(page, seconds) {
  return page.evaluate(async ({ offset, bits, block, top, screenW, seconds }) => {
    const video = document.getElementById('video');
    const canvas = document.createElement('canvas');
    canvas.width = (bits + 1) * block; canvas.height = top + block;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    const m = 2 ** bits;
    const stampMinusMedia = await new Promise((resolve) => {
      const once = (now, meta) => {
        const scale = video.videoWidth / screenW;
        ctx.drawImage(video, 0, 0, canvas.width * scale, canvas.height * scale, 0, 0, canvas.width, canvas.height);
        const d = ctx.getImageData(0, 0, canvas.width, canvas.height).data;
        const y = top + block / 2;
        const lum = (x) => { const i = (y * canvas.width + x) * 4; return (d[i] + d[i + 1] + d[i + 2]) / 3; };
        if (lum(block / 2) <= 160) { video.requestVideoFrameCallback(once); return; }
        let v = 0;
        for (let bit = 0; bit < bits; bit++) if (lum((bit + 1) * block + block / 2) > 128) v += 2 ** bit;
        resolve(v - meta.mediaTime * 1000);
      };
      video.requestVideoFrameCallback(once);
    });
    // The first frame's decode time: the video track's (1), as a segment may open with audio.
    const tfdt = (view) => {
      let track = 0;
      for (let i = 4; i + 16 < view.byteLength; i++) {
        if (view.getUint32(i) === 0x74666864) track = view.getUint32(i + 8);   // tfhd
        if (view.getUint32(i) !== 0x74666474 || track !== 1) continue;
        return view.getUint8(i + 4) === 1 ? view.getUint32(i + 8) * 4294967296 + view.getUint32(i + 12) : view.getUint32(i + 8);
      }
      return null;
    };
    const init = new DataView(await (await fetch('/live/init.mp4')).arrayBuffer());
    let timescale = 90000;
    for (let i = 4; i + 24 < init.byteLength; i++) {
      if (init.getUint32(i) === 0x6d646864) { timescale = init.getUint32(i + (init.getUint8(i + 4) === 1 ? 24 : 16)); break; }
    }
    const ages = []; const fetches = [];
    let newest = -1;
    const end = performance.now() + seconds * 1000;
    while (performance.now() < end) {
      const ids = [...(await (await fetch('/live/stream.m3u8')).text()).matchAll(/segment(\d+)\.m4s/g)];
      const id = Number(ids[ids.length - 1][1]);
      if (id !== newest) {
        const seen = Date.now() - offset;
        const t0 = performance.now();
        const seg = new DataView(await (await fetch(`/live/segment${id}.m4s`)).arrayBuffer());
        fetches.push(performance.now() - t0);
        const t = tfdt(seg);
        if (newest !== -1 && t !== null) ages.push((((seen % m) - (stampMinusMedia + (t / timescale) * 1000)) % m + m) % m);
        newest = id;
      }
      await new Promise((r) => setTimeout(r, 5));
    }
    const med = (xs) => { const s = [...xs].sort((a, b) => a - b); return s.length ? Math.round(s[Math.floor(s.length / 2)]) : null; };
    return { segments: ages.length, firstFrameAgeMs: med(ages), fetchMs: med(fetches) };
  }, { offset: clockOffset, ...STAMP, screenW: SCREEN.w, seconds });
}

// ---- the run -----------------------------------------------------------------------------
async function main() {
  const results = { mode: QUICK ? 'quick' : 'full', seconds: MEASURE_S, started: new Date().toISOString(),
    loadBefore: loadavg(), paths: [], cost: {}, breakdown: {}, endurance: null, cycles: null };
  const display = await startXvfb();
  const env = { ...process.env, DISPLAY: display, XDG_RUNTIME_DIR: join(work, 'run'), HOME: join(work, 'home') };
  delete env.WAYLAND_DISPLAY;
  await startPulse(env);
  // The TV browsers here stand for TVs the person trusts: no question on the desktop.
  env.XDG_CONFIG_HOME = join(env.HOME, '.config');
  mkdirSync(join(env.XDG_CONFIG_HOME, 'skylark'), { recursive: true });
  writeFileSync(join(env.XDG_CONFIG_HOME, 'skylark', 'allowed-tvs.conf'), 'ask no\n');
  start(join(BUILD, 'bin/skylark_e2e_clock'), [], { env });
  clockOffset = Date.now() - monoMs();
  log(`display ${display}, work ${work}`);

  const tvBrowser = await chromium.launch({ executablePath: CHROMIUM, headless: true,
    args: [...CHROMIUM_ARGS, '--autoplay-policy=no-user-gesture-required'] });
  const base = 'http://198.18.0.1:8765';

  // -- Skylark, native path
  const cast = await startCast(env);
  if (PARTS.includes('skylark')) {
  results.selectionToLiveMs = [await castAndTimeToLive(cast, base)];
  results.selectionToInitMs = castAndTimeToLive.initMs[0];
  log(`selection to /api/live: ${results.selectionToLiveMs[0].toFixed(0)} ms`);
  {
    const page = await openTv(tvBrowser, `${base}/tv.html`);
    results.paths.push(await measure(page, 'Skylark native, Skylark player', () => cpuMeter(cast.pid)));
    if (TRACE) {
      writeFileSync(TRACE, JSON.stringify({ samples: results.paths.at(-1).series, trace: await page.evaluate(() => window.__trace) }));
      log(`player trace in ${TRACE}`);
    }
    results.breakdown.skylark = await sourceAge(page, QUICK ? 5 : 10);
    log('skylark source age', JSON.stringify(results.breakdown.skylark));
    await page.close();
    if (!TRACE) {
      const hls = await openTv(tvBrowser, `${base}/tv.html?player=hlsjs`);
      results.paths.push(await measure(hls, 'Skylark native, hls.js'));
      await hls.close();
    }
  }
  // The same in each browser engine the TV page is tested in (bench/e2e/engines.mjs).
  if (PARTS.includes('engines')) {
    const { measureEngines } = await import('./engines.mjs');
    results.paths.push(...await measureEngines({ base, measure, reader: readerSource(), log,
      params: { offset: clockOffset, bits: STAMP.bits, block: STAMP.block, top: STAMP.top, screenW: SCREEN.w } }));
  }
  await stopCast(cast);

  // -- Skylark, low-latency path: the sender page in a real browser on the same screen
  if (!TRACE) {
    const sender = await chromium.launch({ executablePath: CHROMIUM, headless: false, env,
      args: [...CHROMIUM_ARGS, '--auto-select-desktop-capture-source=Entire screen',
        '--window-position=560,200', '--window-size=1000,700'] });
    try {
      const tv = await openTv(tvBrowser, `${base}/tv.html`);
      const sp = await sender.newPage();
      await sp.goto('http://127.0.0.1:8765/');
      await sp.click('#start');
      await until('the TV on WebRTC', async () => (await tv.evaluate(() => document.body.dataset.mode)) === 'webrtc', 30000);
      results.paths.push(await measure(tv, 'Skylark low-latency (WebRTC)'));
      await sp.click('#stop').catch(() => {});
      await tv.close();
    } catch (e) {
      log(`low-latency path failed: ${e.message}`);
      results.paths.push({ name: 'Skylark low-latency (WebRTC)', error: e.message, series: [] });
    }
    await sender.close();
  }
  }


  // -- ffmpeg peers, served by nginx, played by the same TV page
  const liveDir = join(work, 'peer-live');
  const peerBase = 'http://198.18.0.1:8766';
  let nginx = null;
  const peerServer = () => {
    if (nginx) return;
    const www = join(work, 'www');
    mkdirSync(www, { recursive: true });
    for (const f of readdirSync(WEB)) cpSync(join(WEB, f), join(www, f));
    nginx = startNginx(www, liveDir, 8766);
  };
  if (PARTS.includes('peers')) {
  peerServer();
  // The tool's muxer holds video back until the sound's packets catch up with it, and the
  // sound from PulseAudio arrives late: the same peer without sound shows what that costs it.
  for (const [lowLatency, audio] of [[true, true], [true, false], [false, true]]) {
    const ff = startFfmpegPeer(env, display, liveDir, lowLatency, audio);
    await until('the peer playlist', () => existsSync(join(liveDir, 'stream.m3u8')), 20000, 50);
    const label = (lowLatency ? 'ffmpeg 0.25 s fMP4 + nginx' : 'ffmpeg default HLS (2 s) + nginx') + (audio ? '' : ', no sound');
    const players = lowLatency ? [['hls.js', '?player=hlsjs'], ['Skylark player', '']] : [['hls.js', '?player=hlsjs']];
    let first = true;
    for (const [player, query] of players) {
      const page = await openTv(tvBrowser, `${peerBase}/tv.html${query}`);
      try {
        results.paths.push(await measure(page, `${label}, ${player}`, first ? () => cpuMeter(ff.pid) : null));
        if (lowLatency && first) {
          results.breakdown[audio ? 'ffmpeg' : 'ffmpeg, no sound'] = await sourceAge(page, QUICK ? 5 : 10).catch((e) => ({ error: e.message }));
        }
      } catch (e) {
        log(`${label}, ${player} failed: ${e.message} ${ff.errText().slice(-300)}`);
        results.paths.push({ name: `${label}, ${player}`, error: e.message, series: [] });
      }
      first = false;
      await page.close();
    }
    await stop(ff);
  }
  }

  // -- CPU on a screen where every pixel moves, Skylark and the ffmpeg tool (with sound)
  if (PARTS.includes('motion')) {
    const scene = start(join(BUILD, 'bin/skylark_e2e_scene'), ['motion'], { env });
    await sleep(1500);
    await castAndTimeToLive(cast, base);
    const page = await openTv(tvBrowser, `${base}/tv.html`);
    results.paths.push(await measure(page, 'Skylark native, Skylark player, full motion', () => cpuMeter(cast.pid)));
    await page.close();
    await stopCast(cast);
    peerServer();
    const ff = startFfmpegPeer(env, display, liveDir, true, true);
    try {
      await until('the peer playlist', () => existsSync(join(liveDir, 'stream.m3u8')), 20000, 50);
      const peer = await openTv(tvBrowser, `${peerBase}/tv.html`);
      results.paths.push(await measure(peer, 'ffmpeg 0.25 s fMP4 + nginx, Skylark player, full motion', () => cpuMeter(ff.pid)));
      await peer.close();
    } catch (e) {
      log(`full-motion peer failed: ${e.message} ${ff.errText().slice(-300)}`);
    }
    await stop(ff);
    await stop(scene);
  }
  if (nginx) await stop(nginx);

  // -- Audio against video in the served stream, the screen flashing as a beep plays
  if (PARTS.includes('sync')) {
    const scene = start(join(BUILD, 'bin/skylark_e2e_scene'), ['flash'], { env });
    await sleep(1000);
    await castAndTimeToLive(cast, base);
    await sleep(1500);   // past the audio clock's settling
    try {
      const file = join(work, 'sync.mp4');
      const segments = await recordStream(base, QUICK ? 12 : 40, file);
      results.sync = { segments, ...(await measureSync(file)) };
    } catch (e) {
      results.sync = { error: e.message };
    }
    log('audio/video', JSON.stringify(results.sync));
    await stopCast(cast);
    await stop(scene);
  }

  // -- Memory: a cast with four TV pages, then twenty casts in a row
  if (PARTS.includes('memory')) results.memory = await memoryRuns(cast, base, tvBrowser);

  // The figures so far, written before the long parts.
  mkdirSync(DOCS, { recursive: true });
  const plotName = named('e2e-latency', 'png');
  await drawPlot(chromium, CHROMIUM, CHROMIUM_ARGS, results.paths, join(DOCS, plotName));
  const write = () => {
    results.loadAfter = loadavg();
    const md = report(results, plotName);
    writeFileSync(join(DOCS, named('benchmarks', 'md')), md);
    writeFileSync(join(DOCS, named('benchmarks', 'json')),
      JSON.stringify({ ...results, paths: results.paths.map(({ series, ...rest }) => rest) }, null, 1));
    return md;
  };
  write();

  // -- Cycles and endurance, with the caster again (the cast driver idled meanwhile).
  if (CYCLES > 0 && PARTS.includes('long')) results.cycles = await startStopCycles(cast, base, tvBrowser, CYCLES);
  write();
  if (ENDURANCE_MIN > 0 && PARTS.includes('long')) results.endurance = await endurance(cast, base, tvBrowser, ENDURANCE_MIN);
  await cast.quit();
  await tvBrowser.close();
  console.log(write());
}

// Resident memory of the driver, sampled every 10 s, while four readers fetch the cast as TV
// pages do (the page's once-a-second polls beside), with no browser's cost; least-squares MB
// per minute.
async function readerMemory(base, pid, minutes, count = 4) {
  let running = true; let segments = 0; let misses = 0;
  const latest = async () => {
    const ids = [...(await (await fetch(`${base}/live/stream.m3u8`)).text()).matchAll(/segment(\d+)\.m4s/g)];
    return ids.length ? Number(ids[ids.length - 1][1]) : null;
  };
  // Half stream each segment as it is written, half take whole listed segments as hls.js does.
  const reader = async (progressive) => {
    let next = null;
    while (running) {
      try {
        const newest = progressive && next !== null ? next : await latest();
        if (newest === null || (!progressive && next !== null && newest < next)) { await sleep(250); continue; }
        next ??= newest;
        const path = progressive ? '/live/progressive/segment' : '/live/segment';
        const response = await fetch(`${base}${path}${next}.m4s`, { cache: 'no-store' });
        if (response.status !== 200) { await response.arrayBuffer(); misses++; next = null; continue; }
        for await (const chunk of response.body) void chunk;
        segments++; next++;
      } catch { misses++; next = null; await sleep(100); }
    }
  };
  const poller = async () => {
    while (running) {
      for (const path of ['/api/command', '/api/live', '/api/offer']) await fetch(`${base}${path}`).then((r) => r.text()).catch(() => {});
      await sleep(1000);
    }
  };
  const tasks = [];
  for (let i = 0; i < count; i++) tasks.push(reader(i % 2 === 0), poller());
  const rss = [];
  const t0 = monoMs();
  while (monoMs() - t0 < minutes * 60000) {
    rss.push([(monoMs() - t0) / 60000, memoryMB(pid).rss]);
    await sleep(10000);
  }
  running = false;
  await Promise.all(tasks);
  const mx = rss.reduce((a, r) => a + r[0], 0) / rss.length; const my = rss.reduce((a, r) => a + r[1], 0) / rss.length;
  const slope = rss.reduce((a, r) => a + (r[0] - mx) * (r[1] - my), 0) / rss.reduce((a, r) => a + (r[0] - mx) ** 2, 0);
  return { readers: count, minutes, segments, misses, slopeMBperMin: Number(slope.toFixed(3)),
    rssMB: rss.map((r) => Number(r[1].toFixed(1))), peakMB: Number(memoryMB(pid).peak.toFixed(1)) };
}

// Resident memory of the driver while four readers stream one cast, its peak while the cast
// plays to four TV pages (two on the Skylark player, two on hls.js), then over twenty casts in a
// row, each played for a second by a client fetching what a player would; the peak is reset
// before each phase.
async function memoryRuns(cast, base, browser) {
  const resetPeak = () => writeFileSync(`/proc/${cast.pid}/clear_refs`, '5');
  resetPeak();
  await castAndTimeToLive(cast, base);
  const readers = await readerMemory(base, cast.pid, READER_MIN);
  log('memory, four readers', JSON.stringify(readers));
  await stopCast(cast);
  resetPeak();
  await castAndTimeToLive(cast, base);
  const pages = [];
  for (let i = 0; i < 4; i++) pages.push(await openTv(browser, `${base}/tv.html${i % 2 ? '?player=hlsjs' : ''}`));
  for (const p of pages) await waitForClock(p);
  await sleep((QUICK ? 10 : 30) * 1000);
  const fourPages = { peakMB: Number(memoryMB(cast.pid).peak.toFixed(1)) };
  for (const p of pages) await p.close();
  await stopCast(cast);
  resetPeak();
  const rssAfterMB = [];
  const toLiveMs = [];
  for (let i = 0; i < 20; i++) {
    toLiveMs.push(Math.round(await castAndTimeToLive(cast, base)));
    const until = monoMs() + 1000;
    while (monoMs() < until) {
      const ids = [...(await (await fetch(`${base}/live/stream.m3u8`)).text()).matchAll(/segment(\d+)\.m4s/g)];
      if (ids.length) await (await fetch(`${base}/live/segment${ids[ids.length - 1][1]}.m4s`)).arrayBuffer();
      await sleep(100);
    }
    await stopCast(cast);
    rssAfterMB.push(Number(memoryMB(cast.pid).rss.toFixed(1)));
  }
  const out = { readers, fourPages, twentyCasts: { peakMB: Number(memoryMB(cast.pid).peak.toFixed(1)), rssAfterMB, toLiveMs } };
  log('memory', JSON.stringify(out));
  return out;
}

// Twenty start/stop cycles: each cast becomes playable and shows fresh frames on a TV page left
// open; the driver's memory after each stop.
async function startStopCycles(cast, base, browser, n) {
  const page = await openTv(browser, `${base}/tv.html`);
  const out = { n, toLiveMs: [], toFreshFrameMs: [], played: 0, rssAfterStopMB: [] };
  for (let i = 0; i < n; i++) {
    await page.evaluate(() => window.__e2e.reset());
    const t0 = monoMs();
    out.toLiveMs.push(Math.round(await castAndTimeToLive(cast, base)));
    try {
      // A frame stamped after this cast began.
      await until('a fresh frame', () => page.evaluate((since) => window.__e2e.samples.some((s) => s[0] - s[1] > since), t0), 20000, 50);
      out.toFreshFrameMs.push(Math.round(monoMs() - t0));
      out.played++;
    } catch { /* counted as not played */ }
    await stopCast(cast);
    // As long as a person takes to open the menu and the picker again: the TV page must see the
    // stopped cast as not live before the next one starts, or it treats the next cast as the
    // one that was stopped and stays idle (it polls once a second).
    await sleep(2500);
    out.rssAfterStopMB.push(Number(memoryMB(cast.pid).rss.toFixed(1)));
  }
  await page.close();
  log(`cycles: ${out.played}/${n} played; rss after stops ${out.rssAfterStopMB.join(' ')}`);
  return out;
}

// A long cast with one TV page, then four (two on the Skylark player, two on hls.js).
async function endurance(cast, base, browser, minutes) {
  await castAndTimeToLive(cast, base);
  const phases = [];
  let sequenceBreaks = 0; let lastIds = null;
  const watch = setInterval(async () => {
    try {
      const ids = [...(await (await fetch(`${base}/live/stream.m3u8`)).text()).matchAll(/segment(\d+)\.m4s/g)].map((m) => Number(m[1]));
      for (let i = 1; i < ids.length; i++) if (ids[i] !== ids[i - 1] + 1) sequenceBreaks++;
      if (lastIds && ids.length && lastIds.length && ids[0] < lastIds[0]) sequenceBreaks++;
      lastIds = ids;
    } catch { /* one missed poll */ }
  }, 200);
  for (const count of [1, 4]) {
    const pages = [];
    for (let i = 0; i < count; i++) pages.push(await openTv(browser, `${base}/tv.html${i % 2 ? '?player=hlsjs' : ''}`));
    for (const p of pages) await waitForClock(p);
    for (const p of pages) await p.evaluate(() => window.__e2e.reset());
    const rss = [];
    const t0 = monoMs();
    while (monoMs() - t0 < minutes * 60000) {
      rss.push([(monoMs() - t0) / 60000, memoryMB(cast.pid).rss]);
      await sleep(5000);
    }
    const per = [];
    for (const p of pages) {
      const st = await readState(p);
      const ids = p.segmentIds;
      let gaps = 0;
      for (let i = 1; i < ids.length; i++) if (ids[i] > ids[i - 1] + 1) gaps++;
      const delays = st.samples.map((s) => s[1]);
      per.push({ stallsOver500ms: st.stalls.length, longestStallMs: Math.max(0, ...st.stalls), hlsFatal: st.hlsFatal,
        hooked: st.hooked, segmentSkips: gaps, p50: median(delays), p99: pct(delays, 0.99), mode: st.mode });
      await p.close();
    }
    // Least-squares slope of resident memory, MB per minute.
    const mx = rss.reduce((a, r) => a + r[0], 0) / rss.length; const my = rss.reduce((a, r) => a + r[1], 0) / rss.length;
    const slope = rss.reduce((a, r) => a + (r[0] - mx) * (r[1] - my), 0) / rss.reduce((a, r) => a + (r[0] - mx) ** 2, 0);
    phases.push({ pages: count, minutes, slopeMBperMin: Number(slope.toFixed(3)), rssStartMB: Number(rss[0][1].toFixed(1)),
      rssEndMB: Number(rss[rss.length - 1][1].toFixed(1)), peakMB: Number(memoryMB(cast.pid).peak.toFixed(1)), per });
    log(`endurance ${count} page(s): ${JSON.stringify(phases[phases.length - 1])}`);
  }
  clearInterval(watch);
  await stopCast(cast);
  return { phases, playlistSequenceBreaks: sequenceBreaks };
}

function report(r, plotName) {
  const f = (v, d = 0) => (v === null || v === undefined || Number.isNaN(v) ? '–' : Number(v).toFixed(d));
  const lines = [];
  lines.push(`# Skylark end to end: latency, cost, endurance (${r.mode} run)`, '');
  lines.push(`Run ${r.started} with \`bench/e2e/run${r.mode === 'quick' ? ' --quick' : ''}\` on a 2-core Debian 12 machine, ` +
    `Xvfb 1920x1080, headless Chromium as the TV. Load average before ${r.loadBefore.map((x) => x.toFixed(2)).join(' ')}, ` +
    `after ${r.loadAfter.map((x) => x.toFixed(2)).join(' ')} (other work shares these cores: figures are noisy when that is high).`, '');
  lines.push(`## Glass-to-glass latency (${r.seconds} s per path, every presented frame)`, '');
  lines.push('| path / peer | p50 ms | p95 ms | p99 ms | max ms | frames read | player buffer ahead ms | stalls > 0.5 s |');
  lines.push('|---|---|---|---|---|---|---|---|');
  for (const p of r.paths) {
    if (p.error) { lines.push(`| ${p.name} | failed: ${p.error.replace(/\|/g, '/')} | | | | | | |`); continue; }
    lines.push(`| ${p.name} | ${f(p.p50)} | ${f(p.p95)} | ${f(p.p99)} | ${f(p.max)} | ${p.read} | ${f(p.aheadMs)} | ${p.stalls} |`);
  }
  lines.push('', `![latency over time](${plotName})`, '');
  lines.push('## Cost while casting 1920x1080 at 30 frames a second (one TV page playing)', '');
  const costName = (p) => p.name.replace(/, (hls\.js|Skylark player)/, '');
  const costs = r.paths.filter((p) => p.cost);
  lines.push('| process, screen | CPU s per s | peak memory MB |', '|---|---|---|');
  for (const p of costs) lines.push(`| ${costName(p)}${p.name.includes('full motion') ? '' : ', clock window'} | ${f(p.cost.cpuPerS, 2)} | ${f(p.cost.peakMB)} |`);
  const cpuOf = (re) => costs.find((p) => re.test(p.name))?.cost.cpuPerS;
  for (const [screen, sk, ff] of [['clock window', /^Skylark native, Skylark player$/, /^ffmpeg 0\.25 s fMP4 \+ nginx, hls\.js$/],
    ['full motion', /^Skylark native.*full motion$/, /^ffmpeg 0\.25 s fMP4.*full motion$/]]) {
    if (cpuOf(sk) && cpuOf(ff)) lines.push('', `Skylark's CPU against the ffmpeg tool's (with sound), ${screen}: ${f(cpuOf(sk) / cpuOf(ff), 2)}x.`);
  }
  for (const p of costs) {
    lines.push('', `CPU s per s by thread, ${costName(p)}: ` + Object.entries(p.cost.threads).map(([k, v]) => `${STAGES[k] ? `${STAGES[k]} (${k})` : k} ${v}`).join(', '));
  }
  lines.push('', `Selection in the picker to the first playable playlist (\`/api/live\` true): ${f((r.selectionToLiveMs || [])[0])} ms` +
    (r.cycles ? `; over ${r.cycles.n} start/stop cycles median ${f(median(r.cycles.toLiveMs))} ms, max ${f(Math.max(...r.cycles.toLiveMs))} ms.` : '.') +
    ` The initialization segment was there after ${f(r.selectionToInitMs)} ms (capture start, first frame, writer start); the rest is the first` +
    ' quarter-second media segment being filled and encoded.', '');
  if (r.sync) {
    const y = r.sync;
    lines.push('## Audio against video in the served stream', '', y.error ? `Failed: ${y.error}` :
      `The flash-and-beep screen cast for ${y.segments} segments, fetched over HTTP and decoded by the ffmpeg tool: ` +
      `${y.offsetsMs.length} flashes paired with their beeps (${y.flashes} flashes, ${y.beeps} beeps found). Picture minus sound: ` +
      `mean ${f(y.meanMs)} ms, worst ${f(y.worstMs)} ms (each: ${y.offsetsMs.join(', ')}). Positive: the picture is late. ` +
      'A flash shows in the first frame captured after it, so the picture is up to one frame interval (33 ms) late by construction, 17 ms on average.', '');
  }
  if (r.memory) {
    const m = r.memory;
    const rd = m.readers;
    lines.push('## Memory of the cast driver', '',
      `Four readers without a browser (two streaming each segment as it is written, two taking whole segments as hls.js ` +
      `does) for ${rd.minutes} min: resident ${f(rd.rssMB[0], 1)} → ${f(rd.rssMB[rd.rssMB.length - 1], 1)} MB, ` +
      `${rd.slopeMBperMin} MB per minute, peak ${f(rd.peakMB)} MB (${rd.segments} segments read).`, '',
      `Peak resident memory while one cast played to four TV pages (two Skylark player, two hls.js): ${f(m.fourPages.peakMB)} MB. ` +
      `Over twenty casts in a row (each played for a second): peak ${f(m.twentyCasts.peakMB)} MB; resident after each stop (MB): ` +
      `${m.twentyCasts.rssAfterMB.join(', ')}. Selection to live in those casts (ms): ${m.twentyCasts.toLiveMs.join(', ')}.`, '');
  }
  lines.push('## Where the native path\'s time goes', '');
  const b = r.breakdown;
  for (const [k, v] of Object.entries(b)) {
    if (v?.error) { lines.push(`- ${k}: ${v.error}`); continue; }
    lines.push(`- ${k}: a segment's first frame is ${f(v.firstFrameAgeMs)} ms old when the segment first shows in the playlist ` +
      `(capture, encode, the segment's own 250 ms, hand-over; median of ${v.segments}); a segment request takes ${f(v.fetchMs)} ms.`);
  }
  lines.push('');
  if (r.cycles) {
    const c = r.cycles;
    lines.push('## Start/stop cycles', '',
      `${c.played} of ${c.n} casts played (a frame stamped after the start reached the TV page). Selection to live: ${c.toLiveMs.join(', ')} ms. ` +
      `Start to first fresh frame on the TV: median ${f(median(c.toFreshFrameMs))} ms. ` +
      `Resident memory after each stop (MB): ${c.rssAfterStopMB.join(', ')}.`, '');
  }
  if (r.endurance) {
    lines.push('## Endurance', '', '| TV pages | minutes | RSS slope MB/min | RSS start → end MB | peak MB | per page: stalls > 0.5 s / hls.js fatal / skipped segment ids / p50 / p99 ms |', '|---|---|---|---|---|---|');
    for (const ph of r.endurance.phases) {
      lines.push(`| ${ph.pages} | ${ph.minutes} | ${ph.slopeMBperMin} | ${ph.rssStartMB} → ${ph.rssEndMB} | ${ph.peakMB} | ` +
        ph.per.map((p) => `${p.mode}: ${p.stallsOver500ms} / ${p.hooked ? p.hlsFatal.length : 'n/a'} / ${p.segmentSkips} / ${f(p.p50)} / ${f(p.p99)}`).join('; ') + ' |');
    }
    lines.push('', `Playlist identifier breaks seen by a 5 Hz poller over the whole cast: ${r.endurance.playlistSequenceBreaks}.`, '');
  } else {
    lines.push('## Endurance', '', 'Not run in this mode (`bench/e2e/run` without `--quick` runs it).', '');
  }
  return lines.join('\n') + '\n';
}

process.on('SIGINT', async () => { await stopAll(); process.exit(130); });
try {
  await main();
} catch (e) {
  console.error(e);
  process.exitCode = 1;
} finally {
  setTimeout(() => process.exit(), 10000);   // whatever still hangs on, the run is over
  await stopAll();
  rmSync(work, { recursive: true, force: true });
  process.exit();   // a browser left open after a failure would keep the process alive
}
