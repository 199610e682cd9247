// The memory part: the driver's memory under four readers, four TV pages and twenty casts.
import { writeFileSync } from 'node:fs';
import { QUICK, READER_MIN, log, monoMs, sleep } from './options.mjs';
import { memoryMB } from './meters.mjs';
import { castAndTimeToLive, stopCast } from './services.mjs';
import { openTv, waitForClock } from './clock_reader.mjs';

// Resident memory of the driver, sampled every 10 s, while four readers fetch the cast as TV
// pages do (the page's once-a-second polls beside), with no browser's cost; least-squares MB
// per minute.
export async function readerMemory(base, pid, minutes, count = 4) {
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
export async function memoryRuns(cast, base, browser) {
  const resetPeak = () => writeFileSync(`/proc/${cast.pid}/clear_refs`, '5');
  resetPeak();
  await castAndTimeToLive(cast, base);
  const readers = await readerMemory(base, cast.pid, READER_MIN);
  log('memory, four readers', JSON.stringify(readers));
  await stopCast(cast);
  resetPeak();
  await castAndTimeToLive(cast, base);
  const pages = [];
  for (let i = 0; i < 4; i++) pages.push(await openTv(browser, `${base}/tv.html?player=${i % 2 ? 'hlsjs' : 'hls'}`));
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
