// Low-latency sharing end to end: the sender page (Chromium's fake screen and sound) and the
// TV page (another Chromium) meet through the real server's relay. Chromium gathers no ICE
// candidates on a loopback-only machine, so the server and both browsers run inside a network
// namespace of this test's own, which it deletes afterwards.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startHarness, launchChromium, createNamespace, isRoot, until, inMode, screenshot } from './support.mjs';

const skip = isRoot() ? false : 'needs root for its network namespace';
let ns, harness, senderBrowser, tvBrowser;

before(async () => {
  if (skip) return;
  ns = createNamespace();
  harness = await startHarness(ns);
  senderBrowser = await launchChromium(['--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream'], ns.chromiumWrapper);
  tvBrowser = await launchChromium([], ns.chromiumWrapper);
});

after(async () => {
  await senderBrowser?.close();
  await tvBrowser?.close();
  await harness?.close();
  ns?.remove();
});

test('the sender page shares to the TV page, and both stop on every kind of stop', { skip }, async () => {
  const tv = await tvBrowser.newPage({ viewport: { width: 1280, height: 720 } });
  let answers = 0;
  tv.on('request', (r) => { if (r.method() === 'POST' && r.url().endsWith('/api/answer')) answers++; });
  // The TV opens the address the menu shows: the root, which sends it on to its own page.
  await tv.goto(`http://${ns.address}:${harness.port}/`);
  await until('the TV page', () => tv.url().endsWith('/tv.html?from=root'));
  const sender = await senderBrowser.newPage({ viewport: { width: 1100, height: 760 } });
  await sender.goto(`http://127.0.0.1:${harness.port}/`);
  const text = (page, selector, pattern) => until(`${selector} ${pattern}`, async () => pattern.test(await page.textContent(selector)), 20000);
  const shown = () => tv.evaluate(() => new Promise((resolve) =>
    document.getElementById('video').requestVideoFrameCallback((now, meta) => resolve(meta.presentedFrames))));

  for (const [stop, detail] of [[() => harness.send('stop'), 'Stopped from the Skylark menu.'],
    [() => sender.click('#stop'), 'You stopped sharing.']]) {
    await sender.click('#start');
    await text(sender, '#status', /^Connected$/);
    await inMode(tv, 'webrtc', 20000);
    const first = await shown();
    await until('the TV to show frame after frame', async () => (await shown()) > first + 30, 20000);
    if (answers === 1) {
      // H.264, which TVs decode in hardware, whenever this browser can send it.
      const codecs = await sender.evaluate(async () => {
        const stats = await session.pc.getStats();
        let used = null;
        stats.forEach((s) => { if (s.type === 'outbound-rtp' && s.kind === 'video' && s.codecId) used = stats.get(s.codecId).mimeType; });
        return { offered: RTCRtpSender.getCapabilities('video').codecs.some((c) => c.mimeType === 'video/H264'), used };
      });
      if (codecs.offered) assert.equal(codecs.used, 'video/H264');
      // Both pages show the connection's figures.
      for (const [selector, pattern] of [['#statSize', /^\d+×\d+$/], ['#statRate', /Mbit\/s$/], ['#statRtt', /^\d+ ms$/]]) await text(sender, selector, pattern);
      await screenshot(sender, 'sender-connected.png');
      await tv.keyboard.press('Enter');   // the first key turns the sound on
      await tv.keyboard.press('i');
      await text(tv, '#health', /^webrtc · \d+×\d+ · \d+ fps · round trip \d+ ms · jitter buffer \d+ ms$/);
      await tv.keyboard.press('i');
    }
    await stop();
    await text(sender, '#status', /^Stopped$/);
    assert.equal(await sender.textContent('#detail'), detail);
    await inMode(tv, 'idle', 10000);
    assert.equal(await tv.evaluate(() => document.getElementById('video').srcObject), null);
  }
  assert.equal(answers, 2, 'the TV answers each offer once');
});
