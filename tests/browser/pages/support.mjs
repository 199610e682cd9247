// What the page tests start: the harness (the real HTTP server and store, fed by Skylark's own
// writer), Chromium, and a network namespace for WebRTC; each is stopped by its own PID or name.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { after, before } from 'node:test';
import { chromium } from 'playwright-core';

const { SKYLARK_HARNESS: HARNESS, SKYLARK_WEB_ROOT: WEB_ROOT } = process.env;
export const CHROMIUM = process.env.SKYLARK_CHROMIUM || '/usr/lib/chromium/chromium';
if (!HARNESS || !WEB_ROOT) throw new Error('SKYLARK_HARNESS and SKYLARK_WEB_ROOT must be set (ctest sets them)');
export const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `check` until it returns a truthy value; throws with `what` when `timeoutMs` passes.
export async function until(what, check, timeoutMs = 15000, everyMs = 100) {
  for (const deadline = Date.now() + timeoutMs; ; await sleep(everyMs)) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
  }
}

// The harness, inside the namespace `netns` when given: `send(command)` resolves once it
// answered "ok"; `put(kind, bytes)` stores bytes as the "init" or next "segment".
export async function startHarness(netns = null) {
  const argv = [...(netns ? netns.exec : []), HARNESS, WEB_ROOT];
  const child = spawn(argv[0], argv.slice(1), { stdio: ['pipe', 'pipe', 'inherit'] });
  const dir = mkdtempSync(join(tmpdir(), 'skylark-harness-'));
  const waiting = [];
  const port = await new Promise((resolve, reject) => {
    child.once('exit', (code) => reject(new Error(`harness exited early (${code})`)));
    createInterface({ input: child.stdout }).on('line', (line) => {
      const m = /^listening (\d+)$/.exec(line);
      if (m) resolve(Number(m[1]));
      else if (waiting.length) line === 'ok' ? waiting.shift().resolve() : waiting.shift().reject(new Error(line));
    });
  });
  const url = `http://127.0.0.1:${port}`;
  const send = (command) => new Promise((resolve, reject) => { waiting.push({ resolve, reject }); child.stdin.write(`${command}\n`); });
  const put = (kind, bytes) => { writeFileSync(join(dir, kind), bytes); return send(`${kind} ${join(dir, kind)}`); };
  const get = async (path) => Buffer.from(await (await fetch(url + path)).arrayBuffer());
  return {
    port, url, send, put,
    // A new cast in the store while the writer goes on, without /api/live ever reading false:
    // the identifiers restart at 0 and the media time jumps back.
    async restartCast() {
      const newest = (await get('/live/stream.m3u8')).toString().match(/\d+(?=\.m4s)/g).pop();
      const [init, segment] = [await get('/live/init.mp4'), await get(`/live/segment${newest}.m4s`)];
      await send('reset');
      await put('init', init).then(() => put('segment', segment));
    },
    async close() {
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      if (child.exitCode === null) await new Promise((resolve) => { child.once('exit', resolve); child.stdin.end(); });
      clearTimeout(timer);
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Chromium from Debian's package; `wrapper` (a script path) runs it inside a namespace.
export const launchChromium = (extraArgs = [], wrapper = null) =>
  chromium.launch({ executablePath: wrapper || CHROMIUM, headless: true, args: [...CHROMIUM_ARGS, ...extraArgs] });

// One harness and one Chromium for the tests of a file: {harness, browser} once started.
export function serverAndBrowser(chromiumArgs = []) {
  const env = {};
  before(async () => { env.harness = await startHarness(); env.browser = await launchChromium(chromiumArgs); });
  after(async () => { await env.browser?.close(); await env.harness?.close(); });
  return env;
}

// A network namespace with one veth interface and a default route through it: Chromium
// gathers no ICE candidates for a page with only display capture when the only interface is
// loopback. Returns {address, exec: [prefix argv], chromiumWrapper, remove()}.
export function createNamespace() {
  const name = `skylark-web-${process.pid}`;
  const address = '198.18.0.1';
  const ip = (args, input) => {
    const r = spawnSync('ip', args, { encoding: 'utf8', input });
    if (r.status !== 0) throw new Error(`ip ${args.join(' ')}: ${r.stderr.trim()}`);
  };
  ip(['netns', 'add', name]);
  const dir = mkdtempSync(join(tmpdir(), 'skylark-netns-'));
  const remove = () => { spawnSync('ip', ['netns', 'delete', name]); rmSync(dir, { recursive: true, force: true }); };
  try {
    ip(['-n', name, '-batch', '-'], ['link set lo up', 'link add fva type veth peer name fvb', `addr add ${address}/24 dev fva`,
      'link set fva up', 'link set fvb up', 'route add default via 198.18.0.2 dev fva'].join('\n'));
  } catch (error) {
    remove();
    throw error;
  }
  const chromiumWrapper = join(dir, 'chromium-in-netns');
  writeFileSync(chromiumWrapper, `#!/bin/sh\nexec ip netns exec ${name} ${CHROMIUM} "$@"\n`, { mode: 0o755 });
  return { address, exec: ['ip', 'netns', 'exec', name], chromiumWrapper, remove };
}

export const isRoot = () => process.getuid?.() === 0;

// The TV page as the tests read it.
export const mode = (page) => page.evaluate(() => document.body.dataset.mode);
export const inMode = (page, wanted, timeoutMs) => until(`mode ${wanted}`, async () => (await mode(page)) === wanted, timeoutMs);
const currentTime = (page) => page.evaluate(() => document.getElementById('video').currentTime);
export async function playsOn(page, seconds = 1) {
  const from = await currentTime(page);
  await until('playback to advance', async () => (await currentTime(page)) > from + seconds);
}
export async function waitForPlayback(page, wantedMode) {
  await inMode(page, wantedMode);
  await until('playback to begin', async () => (await currentTime(page)) > 0);
  await playsOn(page, 1.5);
}
// SKYLARK_SCREENSHOT_DIR, set by hand, takes the pictures in docs/.
export const screenshot = (page, name) =>
  process.env.SKYLARK_SCREENSHOT_DIR && page.screenshot({ path: join(process.env.SKYLARK_SCREENSHOT_DIR, name) });
