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
// (when it is heard), both in the page's performance clock. Sound is read from the stream the
// video plays; a context time becomes a heard time through the output timestamp.
export function syncSource() {
  return async ({ seconds }) => {
    const video = document.getElementById('video');
    const stream = video.srcObject;
    if (!stream || !stream.getAudioTracks().length) throw new Error('no sound track in the played stream');
    const ctx = new AudioContext({ sampleRate: 48000 });
    await ctx.resume();
    // A script processor, as an audio worklet needs a secure context and a TV page has none. Its
    // input block was rendered the block before the output it plays at `playbackTime`, so a
    // sample's context time is known to within one block (256 samples, 5.3 ms).
    const node = ctx.createScriptProcessor(256, 2, 1);
    const beeps = [];
    let loud = false; let quiet = 0;
    node.onaudioprocess = (e) => {
      const d = e.inputBuffer.getChannelData(0);
      const ts = ctx.getOutputTimestamp();
      for (let i = 0; i < d.length; i++) {
        const a = Math.abs(d[i]);
        if (!loud && a > 0.05) {
          loud = true; quiet = 0;
          const t = e.playbackTime - d.length / ctx.sampleRate + i / ctx.sampleRate;
          beeps.push(ts.performanceTime + (t - ts.contextTime) * 1000);
        } else if (loud) { quiet = a < 0.01 ? quiet + 1 : 0; if (quiet > 2400) loud = false; }
      }
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

// Keeps the page's peer connections, for the receiver's own account of the video.
const KEEP_PCS = `(() => {
  const P = window.RTCPeerConnection;
  if (!P) return;
  window.__pcs = [];
  window.RTCPeerConnection = function (...a) { const pc = new P(...a); window.__pcs.push(pc); return pc; };
  window.RTCPeerConnection.prototype = P.prototype;
  Object.setPrototypeOf(window.RTCPeerConnection, P);
})();`;
const receiverStats = (page) => page.evaluate(async () => {
  const pc = window.__pcs.at(-1);
  for (const s of (await pc.getStats()).values()) {
    if (s.type !== 'inbound-rtp' || s.kind !== 'video') continue;
    const pick = ['framesReceived', 'framesDecoded', 'framesDropped', 'packetsReceived', 'packetsLost', 'nackCount',
      'pliCount', 'freezeCount', 'totalFreezesDuration', 'framesPerSecond', 'frameWidth', 'frameHeight'];
    return Object.fromEntries(pick.map((k) => [k, s[k]]).concat([['jitterBufferMs', Math.round(1000 * s.jitterBufferDelay / s.jitterBufferEmittedCount)]]));
  }
  return null;
});

export async function runWebRTC({ cast, base, env, tvBrowser }, results) {
  await castAndTimeToLive(cast, base);
  const hls = await openTv(tvBrowser, `${base}/tv.html?player=hls`);
  await waitForClock(hls);
  const pages = [];
  try {
    pages.push(await openTv(tvBrowser, `${base}/tv.html?player=webrtc`, KEEP_PCS));
    results.paths.push(await measure(pages[0], 'Skylark native over WebRTC, TV page', null, WEBRTC_S));
    results.webrtcReceiver = await receiverStats(pages[0]);
    log('webrtc receiver', JSON.stringify(results.webrtcReceiver));

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
