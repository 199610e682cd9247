// Renders skylark-logo.svg into ../skylark-logo.png (256x256, transparent corners) with the
// system Chromium, so the PNG can be made again from its source at any time:
//   node web/logo/render-logo.mjs
import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const svg = readFileSync(join(here, 'skylark-logo.svg'), 'utf8');
const browser = await chromium.launch({
  executablePath: process.env.SKYLARK_CHROMIUM || '/usr/lib/chromium/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
});
try {
  const page = await browser.newPage({ viewport: { width: 256, height: 256 } });
  await page.setContent(`<style>html,body{margin:0;background:transparent}</style>${svg}`);
  await page.locator('svg').screenshot({ path: join(here, '..', 'skylark-logo.png'), omitBackground: true });
} finally {
  await browser.close();
}
