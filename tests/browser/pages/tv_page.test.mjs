// The TV page on its own, in a real browser against the real server: which page a TV gets,
// the idle screen and its capability check, and a server that goes away and comes back.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startHarness, launchChromium, until, sleep, screenshot } from './support.mjs';

let harness;
let browser;

before(async () => {
  harness = await startHarness();
  // A TV reaches the computer by a name or address that is not loopback; this name is one.
  browser = await launchChromium(['--host-resolver-rules=MAP skylark-test.local 127.0.0.1']);
});

after(async () => {
  await browser?.close();
  await harness?.close();
});

test('the root sends a TV to its page, with a way back, and stays the sender page on the computer', async () => {
  const page = await browser.newPage();
  await page.goto(`http://skylark-test.local:${harness.port}/`);
  await until('the TV page', () => page.url().endsWith('/tv.html?from=root'));
  await page.waitForSelector('#idle');
  const link = page.locator('#sendLink');
  assert.equal(await link.textContent(), "Share this device's screen instead");
  await link.click();
  await until('the sender page', () => page.url().endsWith('/sender.html?send'));
  await page.waitForSelector('#start');
  assert.equal(await page.textContent('#start'), 'Start sharing');

  await page.goto(`http://127.0.0.1:${harness.port}/`);
  await page.waitForSelector('#start');
  assert.equal(new URL(page.url()).pathname, '/');
  assert.match(await page.textContent('#tvAddress'), /^http:\/\/[\d.]+:\d+$/);
  await page.close();
});

test('the idle screen says what to do and what works, at 1080p and at 720p', async () => {
  for (const [width, height] of [[1920, 1080], [1280, 720]]) {
    const page = await browser.newPage({ viewport: { width, height } });
    await page.goto(`http://127.0.0.1:${harness.port}/tv.html`);
    await page.waitForFunction(() => document.getElementById('logo').naturalWidth > 0);
    assert.equal(await page.textContent('h1'), 'Skylark');
    assert.equal(await page.textContent('.hint'), 'Choose Share Screen in Skylark on your computer');
    assert.deepEqual(await page.locator('#caps li').allTextContents(),
      ['Share Screen works on this TV.', 'Low Latency Sharing works on this TV.']);
    // Everything on the idle screen fits on the TV without scrolling.
    const overflow = await page.evaluate(() => [...document.querySelectorAll('#idle > :not([hidden])')]
      .map((e) => e.getBoundingClientRect())
      .some((r) => r.top < 0 || r.left < 0 || r.bottom > innerHeight || r.right > innerWidth));
    assert.equal(overflow, false);
    // The health line is hidden until asked for.
    assert.equal(await page.isVisible('#health'), false);
    await page.keyboard.press('i');
    assert.match(await page.textContent('#health'), /^idle · server reachable$/);
    await page.keyboard.press('i');
    if (width === 1920) await screenshot(page, 'tv-idle.png');
    await page.close();
  }
});

test('a browser without WebRTC is told so, and leaves offers alone', async () => {
  const context = await browser.newContext();
  await context.addInitScript(() => {
    delete window.RTCPeerConnection;
    delete window.webkitRTCPeerConnection;
  });
  const page = await context.newPage();
  const answers = [];
  page.on('request', (r) => { if (r.method() === 'POST' && r.url().endsWith('/api/answer')) answers.push(r); });
  await page.goto(`http://127.0.0.1:${harness.port}/tv.html`);
  assert.deepEqual(await page.locator('#caps li').allTextContents(),
    ['Share Screen works on this TV.', 'Low Latency Sharing does not work in this browser (no WebRTC).']);
  assert.deepEqual(await page.locator('#caps li').evaluateAll((items) => items.map((i) => i.className)),
    ['yes', 'no']);

  // An offer waiting in the relay: this TV cannot take it, so it must not answer or go dark.
  await page.evaluate(() => fetch('/api/offer', { method: 'POST', body: '{"type":"offer","sdp":"v=0"}' }));
  await sleep(2500);
  assert.equal(answers.length, 0);
  assert.equal(await page.evaluate(() => document.body.dataset.mode), 'idle');
  await page.evaluate(() => fetch('/api/reset', { method: 'POST' }));

  // Without Media Source Extensions either, only the browser's own HLS is left to offer.
  await context.addInitScript(() => { delete window.MediaSource; });
  await page.reload();
  assert.match(await page.locator('#caps li').first().textContent(),
    /^Share Screen works on this TV, a few seconds behind|^Share Screen does not work in this browser/);
  await context.close();
});

test('the TV page waits out an unreachable server without hammering it, and recovers', async () => {
  const page = await browser.newPage();
  const polls = [];
  page.on('request', (r) => { if (r.url().includes('/api/')) polls.push(r.url()); });
  await page.goto(`http://127.0.0.1:${harness.port}/tv.html`);
  await until('first polls', () => polls.length >= 3);
  assert.equal(await page.isVisible('#offline'), false);

  await harness.send('down');
  await until('the unreachable notice', () => page.isVisible('#offline'));
  const before = polls.length;
  await sleep(8000);
  // About once a second at most, backing off: a tight loop would make hundreds of attempts.
  assert.ok(polls.length - before <= 8, `${polls.length - before} attempts while the server was down`);
  assert.equal(await page.evaluate(() => document.body.dataset.mode), 'idle');

  await harness.send('up');
  await until('the notice to go', async () => !(await page.isVisible('#offline')), 20000);
  // Back to the normal pace of about one poll a second.
  const seen = polls.length;
  await until('polling again', () => polls.length >= seen + 6, 10000);
  await page.close();
});
