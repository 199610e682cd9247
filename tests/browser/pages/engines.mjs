// One page interface over Chromium (playwright-core), Firefox ESR (WebDriver BiDi through
// puppeteer-core), WPE WebKit and WebKitGTK (classic WebDriver over plain HTTP): goto, url,
// evaluate(fn, arg), press(key), close; newPage's `before` runs ahead of the page's scripts
// where the engine says `before: true`.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';
import { CHROMIUM, CHROMIUM_ARGS, until } from './support.mjs';

export const launchChromium = (extraArgs = []) =>
  chromium.launch({ executablePath: CHROMIUM, headless: true, args: [...CHROMIUM_ARGS, ...extraArgs] });

// playwright-core and puppeteer-core differ little: `open(width, height)` gives a new page.
const devtoolsLike = (version, open, close) => ({
  version, before: true, close,
  async newPage({ width = 1280, height = 720, before, arg } = {}) {
    const page = await open(width, height);
    if (before) await (page.addInitScript || page.evaluateOnNewDocument).call(page, before, arg);
    return { goto: (url) => page.goto(url), url: () => page.url(), evaluate: (fn, a) => page.evaluate(fn, a),
      press: (key) => page.keyboard.press(key), close: () => page.close(),
      // SKYLARK_SCREENSHOT_DIR, set by hand, takes the pictures in docs/.
      screenshot: (name) => process.env.SKYLARK_SCREENSHOT_DIR && page.screenshot({ path: join(process.env.SKYLARK_SCREENSHOT_DIR, name) }) };
  },
});

// Classic WebDriver: one session and one window, which each page takes in turn.
async function webdriver(label, binary, capabilities, env = {}, teardown = () => {}) {
  const port = await new Promise((resolve) => { const server = createServer().listen(0, '127.0.0.1',
    () => { const { port } = server.address(); server.close(() => resolve(port)); }); });
  // No sound card here: a GStreamer audio sink that cannot open one can stall the page's media.
  // SKYLARK_DRIVER_LOG=1 shows what the driver and the browser print.
  const driver = spawn(binary, [`--port=${port}`], { stdio: process.env.SKYLARK_DRIVER_LOG ? 'inherit' : 'ignore', env: { ...process.env, GST_PLUGIN_FEATURE_RANK: 'fakeaudiosink:MAX', ...env } });
  const call = async (method, path, body) => {
    const reply = await fetch(`http://127.0.0.1:${port}${path}`, { method, body: body && JSON.stringify(body), signal: AbortSignal.timeout(60000) });
    const { value } = await reply.json();
    if (!reply.ok) throw new Error(`WebDriver ${method} ${path}: ${value.error} ${value.message}`);
    return value;
  };
  await until('the WebDriver server', () => call('GET', '/status').catch(() => false), 10000);
  const { sessionId, capabilities: got } = await call('POST', '/session', { capabilities: { alwaysMatch: capabilities } });
  const s = `/session/${sessionId}`;
  const page = {
    goto: (url) => call('POST', `${s}/url`, { url }),
    url: () => call('GET', `${s}/url`),
    async evaluate(fn, arg = null) {
      const script = `var done = arguments[1]; Promise.resolve(arguments[0]).then(${fn})` +
        '.then(function (v) { done({ v: v === undefined ? null : v }); }, function (e) { done({ e: String(e) }); });';
      const { v, e } = await call('POST', `${s}/execute/async`, { script, args: [arg] });
      if (e) throw new Error(e);
      return v;
    },
    async press(key) {
      const value = { Enter: '\uE007' }[key] || key;
      await call('POST', `${s}/actions`, { actions: [{ type: 'key', id: 'keys', actions: [{ type: 'keyDown', value }, { type: 'keyUp', value }] }] });
      await call('DELETE', `${s}/actions`);
    },
    close: () => call('POST', `${s}/url`, { url: 'about:blank' }),
  };
  return {
    version: `${label} ${got.browserVersion}`,
    before: false,
    async newPage({ width = 1280, height = 720 } = {}) {
      await call('POST', `${s}/window/rect`, { width, height }).catch(() => {});   // WPE has one size
      return page;
    },
    async close() { await call('DELETE', s).catch(() => {}); driver.kill(); teardown(); },
  };
}

const engines = {
  async chromium() {
    const browser = await launchChromium();
    return devtoolsLike(`Chromium ${browser.version()}`, (width, height) => browser.newPage({ viewport: { width, height } }), () => browser.close());
  },
  async firefox() {
    const profile = mkdtempSync(join(tmpdir(), 'skylark-firefox-'));
    const { default: puppeteer } = await import('puppeteer-core');   // only this engine needs it
    const browser = await puppeteer.launch({ browser: 'firefox', executablePath: process.env.SKYLARK_FIREFOX || '/usr/bin/firefox-esr',
      headless: true, userDataDir: profile, env: { ...process.env, HOME: profile } });
    return devtoolsLike((await browser.version()).replace(/^firefox\//i, 'Firefox ESR '), async (width, height) => {
      const page = await browser.newPage();
      return page.setViewport({ width, height }).then(() => page);
    }, async () => { await browser.close(); rmSync(profile, { recursive: true, force: true }); });
  },
  // WPE WebKit as set-top boxes run it: cog, here on its headless platform.
  wpe: () => webdriver('WPE WebKit (cog)', 'WPEWebDriver', { 'wpe:browserOptions': { binary: 'cog', args: ['--automation', '--platform=headless'] } }),
  // WebKitGTK's MiniBrowser, on an X server of its own.
  async webkitgtk() {
    const x = spawn('Xvfb', ['-displayfd', '1', '-screen', '0', '1920x1080x24', '-nolisten', 'tcp'], { stdio: ['ignore', 'pipe', 'ignore'] });
    const display = await new Promise((resolve, reject) => {
      x.once('exit', () => reject(new Error('Xvfb exited')));
      createInterface({ input: x.stdout }).once('line', resolve);
    });
    return webdriver('WebKitGTK', 'WebKitWebDriver', {}, { DISPLAY: `:${display}` }, () => x.kill());
  },
};

export const launchEngine = (name) => engines[name]();
