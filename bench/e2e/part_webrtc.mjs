// The native WebRTC part: Share Screen sent by Skylark itself over WebRTC (the TV page on
// ?player=webrtc, which posts its offer to /live/whep) beside the HLS player of the same cast:
// glass-to-glass, what each WebRTC viewer adds to the cast driver, and picture against sound
// measured where the TV plays them.
import { join } from 'node:path';
import { BUILD, QUICK, WEBRTC_S, log, sleep } from './options.mjs';
import { cpuSeconds, memoryMB } from './meters.mjs';
import { castAndTimeToLive, start, stop, stopCast } from './services.mjs';
import { measure, openTv, waitForClock } from './clock_reader.mjs';

const WINDOW_S = QUICK ? 10 : 30;   // each cost window

// CPU s/s and resident MB of the driver over one window.
async function costWindow(pid) {
  const c0 = cpuSeconds(pid);
  const t0 = performance.now();
  const rss = [];
  while (performance.now() - t0 < WINDOW_S * 1000) {
    rss.push(memoryMB(pid).rss);
    await sleep(1000);
  }
  return { cpuPerS: (cpuSeconds(pid) - c0) / ((performance.now() - t0) / 1000), rssMB: rss.reduce((a, b) => a + b) / rss.length };
}

// In the page: the first bright frame of each flash (when it is shown) and the onset of each beep
// (when it is heard), both in the page's performance clock. Sound is read by an audio worklet
// from the stream the video plays; a context time becomes a heard time through the output
// timestamp.
export function syncSource() {
  return async ({ seconds }) => {
    const video = document.getElementById('video');
    const stream = video.srcObject;
    if (!stream || !stream.getAudioTracks().length) throw new Error('no sound track in the played stream');
    const ctx = new AudioContext({ sampleRate: 48000 });
    await ctx.resume();
    const worklet = `registerProcessor('onsets', class extends AudioWorkletProcessor {
      constructor() { super(); this.loud = false; this.quiet = 0; }
      process(inputs) {
        const d = inputs[0] && inputs[0][0];
        if (!d) return true;
        for (let i = 0; i < d.length; i++) {
          const a = Math.abs(d[i]);
          if (!this.loud && a > 0.05) { this.loud = true; this.quiet = 0; this.port.postMessage(currentTime + i / sampleRate); }
          else if (this.loud) { this.quiet = a < 0.01 ? this.quiet + 1 : 0; if (this.quiet > 2400) this.loud = false; }
        }
        return true;
      }
    });`;
    await ctx.audioWorklet.addModule(URL.createObjectURL(new Blob([worklet], { type: 'text/javascript' })));
    const node = new AudioWorkletNode(ctx, 'onsets');
    const beeps = [];
    node.port.onmessage = (e) => {
      const ts = ctx.getOutputTimestamp();
      beeps.push(ts.performanceTime + (e.data - ts.contextTime) * 1000);
    };
    ctx.createMediaStreamSource(stream).connect(node);
    node.connect(ctx.destination);

    const canvas = document.createElement('canvas');
    canvas.width = 16; canvas.height = 9;
    const g = canvas.getContext('2d', { willReadFrequently: true });
    const flashes = [];
    let bright = false;
    const onFrame = (now, meta) => {
      g.drawImage(video, 0, 0, 16, 9);
      const d = g.getImageData(0, 0, 16, 9).data;
      let sum = 0;
      for (let i = 0; i < d.length; i += 4) sum += (d[i] + d[i + 1] + d[i + 2]) / 3;
      const lit = sum / (d.length / 4) > 128;
      if (lit && !bright) flashes.push(meta.expectedDisplayTime);
      bright = lit;
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
    await new Promise((r) => setTimeout(r, seconds * 1000));
    await ctx.close();
    // Each flash with the beep nearest to it, within half the flash period.
    const offsets = [];
    for (const f of flashes) {
      let best = null;
      for (const b of beeps) if (best === null || Math.abs(f - b) < Math.abs(f - best)) best = b;
      if (best !== null && Math.abs(f - best) < 500) offsets.push(Math.round(f - best));
    }
    return { flashes: flashes.length, beeps: beeps.length, offsetsMs: offsets };
  };
}

export async function runWebRTC({ cast, base, env, tvBrowser }, results) {
  await castAndTimeToLive(cast, base);
  const hls = await openTv(tvBrowser, `${base}/tv.html?player=hls`);
  await waitForClock(hls);
  const pages = [];
  try {
    pages.push(await openTv(tvBrowser, `${base}/tv.html?player=webrtc`));
    results.paths.push(await measure(pages[0], 'Skylark native over WebRTC, TV page', null, WEBRTC_S));

    // What each viewer adds: the driver with the HLS page alone, then with one and four viewers.
    await pages[0].close();
    pages.length = 0;
    await sleep(2000);
    const windows = [{ viewers: 0, ...(await costWindow(cast.pid)) }];
    for (const n of [1, 4]) {
      while (pages.length < n) pages.push(await openTv(tvBrowser, `${base}/tv.html?player=webrtc`));
      for (const p of pages) await waitForClock(p);
      windows.push({ viewers: n, ...(await costWindow(cast.pid)) });
    }
    const [alone] = windows;
    results.webrtcCost = {
      windows: windows.map((w) => ({ ...w, cpuPerViewer: w.viewers ? (w.cpuPerS - alone.cpuPerS) / w.viewers : null,
        mbPerViewer: w.viewers ? (w.rssMB - alone.rssMB) / w.viewers : null })),
      // What the pages played at the end, the HLS page first.
      modes: await Promise.all([hls, ...pages].map((p) => p.evaluate(() => document.body.dataset.mode))),
    };
    log('webrtc cost', JSON.stringify(results.webrtcCost));
  } catch (e) {
    log(`native WebRTC failed: ${e.message}`);
    results.paths.push({ name: 'Skylark native over WebRTC, TV page', error: e.message, series: [] });
  }
  for (const p of pages) await p.close();
  await hls.close();
  await stopCast(cast);

  // Picture against sound at the page, the flash-and-beep scene on the screen.
  const scene = start(join(BUILD, 'bin/skylark_e2e_scene'), ['flash'], { env });
  try {
    await sleep(1000);
    await castAndTimeToLive(cast, base);
    const page = await openTv(tvBrowser, `${base}/tv.html?player=webrtc`);
    await waitForClock(page);
    const y = await page.evaluate(syncSource().toString().replace(/^/, '(') + `)(${JSON.stringify({ seconds: QUICK ? 12 : 40 })})`);
    const mean = y.offsetsMs.length ? y.offsetsMs.reduce((a, b) => a + b) / y.offsetsMs.length : null;
    results.webrtcSync = { ...y, meanMs: mean, worstMs: y.offsetsMs.length ? Math.max(...y.offsetsMs.map(Math.abs)) : null };
    await page.close();
  } catch (e) {
    results.webrtcSync = { error: e.message };
  }
  log('webrtc audio/video', JSON.stringify(results.webrtcSync));
  await stopCast(cast);
  await stop(scene);
}
