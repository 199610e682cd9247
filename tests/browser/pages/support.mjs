// What the page tests start: the harness (the real HTTP server and store, fed by Skylark's own
// writer), stopped by its own PID; the browsers are in engines.mjs.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

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

// The harness: `send(command)` resolves once it answered "ok"; `put(kind, bytes)` stores bytes
// as the "init" or next "segment".
export async function startHarness() {
  const child = spawn(HARNESS, [WEB_ROOT], { stdio: ['pipe', 'pipe', 'inherit'] });
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
