// The native WebRTC part: Share Screen sent by Skylark itself over WebRTC (the TV page on
// ?player=webrtc, which posts its offer to /live/whep) beside the HLS player of the same cast:
// glass-to-glass, what each WebRTC viewer adds to the cast driver, and picture against sound
// where the TV plays them, beside the HLS page's.
import { join } from 'node:path';
import { BUILD, CHROMIUM, CHROMIUM_ARGS, QUICK, WEBRTC_S, chromium, log, sleep } from './options.mjs';
import { KEEP_PCS, heardSync, inboundRtp, jitterBufferMs } from './heard_sync.mjs';
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

// The receiver's own account of the video it got.
async function receiverStats(page) {
  const s = await inboundRtp(page, 'video');
  const pick = ['framesReceived', 'framesDecoded', 'framesDropped', 'packetsReceived', 'packetsLost', 'nackCount',
    'pliCount', 'freezeCount', 'totalFreezesDuration', 'framesPerSecond', 'frameWidth', 'frameHeight'];
  return s && { ...Object.fromEntries(pick.map((k) => [k, s[k]])), jitterBufferMs: jitterBufferMs(s) };
}

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

  // Picture against sound where the TV plays them, on both paths, the flash-and-beep scene on the
  // screen.
  const scene = start(join(BUILD, 'bin/skylark_e2e_scene'), ['flash'], { env });
  const launch = { executablePath: CHROMIUM, headless: true, args: [...CHROMIUM_ARGS, '--autoplay-policy=no-user-gesture-required'] };
  try {
    await sleep(1000);
    await castAndTimeToLive(cast, base);
    for (const [key, player] of [['webrtcSync', 'webrtc'], ['hlsPageSync', 'hls']]) {
      try {
        results[key] = await heardSync(chromium, launch, env, `${base}/tv.html?player=${player}`, QUICK ? 15 : 40);
      } catch (e) {
        results[key] = { error: e.message };
      }
      log(`${player} picture against sound at the page`, JSON.stringify(results[key]));
    }
  } finally {
    await stopCast(cast);
    await stop(scene);
  }
}
