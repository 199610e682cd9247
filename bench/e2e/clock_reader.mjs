// Reading the clock back from the playing video: each TV page draws the stamp's corner of every
// presented frame and decodes the time it shows; the figures of one measured path.
import { TRACE_HOOK } from './player_trace.mjs';
import { MEASURE_S, QUICK, SCREEN, STAMP, TRACE, log, sleep, until } from './options.mjs';

// Installed in each TV page before its scripts: hls.js's fatal errors, counted where hls.js
// reports them.
export const HLS_HOOK = `(() => {
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
export function readerSource() {
  return ({ offset, bits, block, top, screenW }) => {
    const video = document.getElementById('video');
    const canvas = document.createElement('canvas');
    canvas.width = (bits + 1) * block;
    canvas.height = top + block;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    const st = window.__e2e = { samples: [], stalls: [], last: null, frames: 0, unread: 0, ahead: [], presented: [null, null] };
    st.reset = () => { st.samples = []; st.stalls = []; st.last = null; st.frames = 0; st.unread = 0; st.ahead = []; st.presented = [null, null]; };
    // presentedFrames counts what the compositor showed, also frames this reader had no turn for.
    const onFrame = (now, meta) => {
      st.presented = [st.presented[0] === null ? meta.presentedFrames : st.presented[0], meta.presentedFrames];
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
export const setClockOffset = (ms) => { clockOffset = ms; };
export const getClockOffset = () => clockOffset;
export async function openTv(browser, url, initScript = null) {
  const page = await browser.newPage({ viewport: { width: 960, height: 540 } });
  await page.addInitScript(HLS_HOOK);
  if (initScript) await page.addInitScript(initScript);
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
export const readState = (page) => page.evaluate(() => ({
  samples: window.__e2e.samples, stalls: window.__e2e.stalls, frames: window.__e2e.frames,
  unread: window.__e2e.unread, ahead: window.__e2e.ahead, presented: window.__e2e.presented[1] - window.__e2e.presented[0], hlsFatal: window.__hlsFatal, hooked: !!window.__hlsHooked,
  mode: document.body.dataset.mode,
}));
export async function waitForClock(page, ms = 30000) {
  await until('the clock in the playing video', async () =>
    (await page.evaluate(() => window.__e2e.samples.length)) > 10, ms, 200);
}
export const pct = (xs, p) => {
  if (!xs.length) return null;
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor(p * s.length))];
};
export const median = (xs) => pct(xs, 0.5);

// Measures one path for `seconds` (MEASURE_S unless given) after it settles; returns the figures and the series.
export async function measure(page, name, meter = null, seconds = MEASURE_S) {
  await waitForClock(page);
  await sleep(QUICK ? 2000 : 5000);   // past the start-up catch-up
  await page.evaluate(() => window.__e2e.reset());
  const cost = meter ? meter() : null;
  await sleep(seconds * 1000);
  const st = await readState(page);
  const delays = st.samples.map((s) => s[1]);
  const r = {
    name, frames: st.frames, presented: st.presented, read: delays.length, unread: st.unread,
    p50: median(delays), p95: pct(delays, 0.95), p99: pct(delays, 0.99), max: pct(delays, 1),
    aheadMs: st.ahead.length ? Math.round(median(st.ahead) * 1000) : null,
    stalls: st.stalls.length, hlsFatal: st.hlsFatal.length, mode: st.mode,
    cost: cost ? cost() : null,
    t0: st.samples[0]?.[0] ?? 0, series: st.samples,
  };
  log(`${name}: p50 ${r.p50} p95 ${r.p95} p99 ${r.p99} ms over ${r.read} frames of ${r.presented} presented (mode ${r.mode}, ` +
    `ahead ${r.aheadMs} ms${r.cost ? `, cpu ${r.cost.cpuPerS.toFixed(2)} s/s, peak ${r.cost.peakMB.toFixed(0)} MB` : ''})`);
  return r;
}

// Where the native path's time goes: how old a segment's first frame is when the segment first
// shows in the playlist (capture + encode + the segment's own 0.25 s + store), and the HTTP
// time of a segment request. Uses one presented frame to map media time to clock time.
export async function sourceAge(page, seconds) {
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
