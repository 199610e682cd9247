// The native path's glass-to-glass delay in each browser engine the TV page is tested in, with
// whichever player the page picks there: e2e.mjs calls this (--only ...,engines) while its cast
// is live, with its own clock read-back and measurement, so the figures compare with its others.
import { launchEngine } from '../../tests/browser/pages/engines.mjs';

export const ENGINES = ['chromium', 'firefox', 'wpe', 'webkitgtk'];

// ctx: {base, measure(page, name), reader (the read-back, a function of params), params, log}.
export async function measureEngines({ base, measure, reader, params, log }, names = ENGINES) {
  const results = [];
  for (const name of names) {
    let engine = null;
    try {
      engine = await launchEngine(name);
      const page = await engine.newPage({ width: 960, height: 540 });
      await page.goto(`${base}/tv.html`);
      await page.evaluate(() => { window.__hlsFatal = []; });   // e2e.mjs hooks hls.js before load
      await page.evaluate(reader, params);
      const r = await measure(page, `Skylark native in ${engine.version}`);
      results.push({ ...r, engine: engine.version });
    } catch (error) {
      log(`${name}: not measured (${error.message})`);
    } finally {
      await engine?.close().catch(() => {});
    }
  }
  return results;
}
