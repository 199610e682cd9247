// The long part: start/stop cycles and endurance.
import { log, monoMs, sleep, until } from './options.mjs';
import { memoryMB } from './meters.mjs';
import { castAndTimeToLive, stopCast } from './services.mjs';
import { median, openTv, pct, readState, waitForClock } from './clock_reader.mjs';

// Twenty start/stop cycles: each cast becomes playable and shows fresh frames on a TV page left
// open; the driver's memory after each stop.
export async function startStopCycles(cast, base, browser, n) {
  const page = await openTv(browser, `${base}/tv.html?player=hls`);
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
export async function endurance(cast, base, browser, minutes) {
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
    for (let i = 0; i < count; i++) pages.push(await openTv(browser, `${base}/tv.html?player=${i % 2 ? 'hlsjs' : 'hls'}`));
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
