// The skylark part: the native path on the Skylark player and on hls.js (with where its time
// goes), in each browser engine when asked, and the low-latency path from the sender page.
import { writeFileSync } from 'node:fs';
import { CHROMIUM, CHROMIUM_ARGS, PARTS, QUICK, SCREEN, STAMP, TRACE, chromium, log, until } from './options.mjs';
import { cpuMeter } from './meters.mjs';
import { castAndTimeToLive, stopCast } from './services.mjs';
import { getClockOffset, measure, openTv, readerSource, sourceAge } from './clock_reader.mjs';

export async function runSkylark({ cast, base, env, tvBrowser, label, hlsOnly }, results) {
  const toLive = await castAndTimeToLive(cast, base);
  if (!hlsOnly) [results.selectionToLiveMs, results.selectionToInitMs] = [[toLive], castAndTimeToLive.initMs.at(-1)];
  log(`selection to /api/live${label}: ${toLive.toFixed(0)} ms`);
  const page = await openTv(tvBrowser, `${base}/tv.html?player=hls`);
  results.paths.push(await measure(page, `Skylark native, Skylark player${label}`, () => cpuMeter(cast.pid)));
  if (TRACE) {
    writeFileSync(TRACE, JSON.stringify({ samples: results.paths.at(-1).series, trace: await page.evaluate(() => window.__trace) }));
    log(`player trace in ${TRACE}`);
  }
  results.breakdown[`skylark${label}`] = await sourceAge(page, QUICK ? 5 : 10);
  log(`skylark source age${label}`, JSON.stringify(results.breakdown[`skylark${label}`]));
  await page.close();
  if (!TRACE) {
    const hls = await openTv(tvBrowser, `${base}/tv.html?player=hlsjs`);
    results.paths.push(await measure(hls, `Skylark native, hls.js${label}`));
    await hls.close();
  }
  // The same in each browser engine the TV page is tested in (bench/e2e/engines.mjs).
  if (PARTS.includes('engines') && !hlsOnly) {
    const { measureEngines } = await import('./engines.mjs');
    results.paths.push(...await measureEngines({ base, measure, reader: readerSource(), log,
      params: { offset: getClockOffset(), bits: STAMP.bits, block: STAMP.block, top: STAMP.top, screenW: SCREEN.w } }));
  }
  await stopCast(cast);

  // The low-latency path: the sender page in a real browser on the same screen.
  if (TRACE || hlsOnly) return;
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
