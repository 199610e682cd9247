// Low-latency sharing end to end: the sender page (Chromium's fake screen and sound) and the
// TV page (another Chromium) meet through the real server's relay. Chromium gathers no ICE
// candidates on a loopback-only machine, so the server and both browsers run inside a network
// namespace of this test's own, which it deletes afterwards.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startHarness, launchChromium, createNamespace, isRoot, until, screenshot } from './support.mjs';

const skip = isRoot() ? false : 'needs root for its network namespace';

let ns;
let harness;
let senderBrowser;
let tvBrowser;

before(async () => {
  if (skip) return;
  ns = createNamespace();
  harness = await startHarness(ns);
  senderBrowser = await launchChromium(
    ['--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream'], ns.chromiumWrapper);
  tvBrowser = await launchChromium([], ns.chromiumWrapper);
});

after(async () => {
  await senderBrowser?.close();
  await tvBrowser?.close();
  await harness?.close();
  ns?.remove();
});

const status = (page) => page.textContent('#status');
const tvMode = (page) => page.evaluate(() => document.body.dataset.mode);

// Frames the TV has shown so far.
async function framesShown(tv) {
  return tv.evaluate(() => new Promise((resolve) => {
    const video = document.getElementById('video');
    if (!video.requestVideoFrameCallback) { resolve(-1); return; }
    video.requestVideoFrameCallback((now, meta) => resolve(meta.presentedFrames));
  }));
}

async function expectPicture(tv) {
  await until('the TV to take the WebRTC session', async () => (await tvMode(tv)) === 'webrtc', 20000);
  await until('the remote picture', () => tv.evaluate(() => document.getElementById('video').videoWidth > 0), 20000);
  const first = await framesShown(tv);
  await until('more frames', async () => (await framesShown(tv)) > first + 30, 20000);
}

test('the sender page shares to the TV page, and both stop on every kind of stop', { skip }, async () => {
  const tv = await tvBrowser.newPage({ viewport: { width: 1280, height: 720 } });
  const answers = [];
  tv.on('request', (r) => { if (r.method() === 'POST' && r.url().endsWith('/api/answer')) answers.push(r); });
  // The TV opens the address the menu shows: the root, which sends it on to its own page.
  await tv.goto(`http://${ns.address}:${harness.port}/`);
  await until('the TV page', () => tv.url().endsWith('/tv.html?from=root'));

  const sender = await senderBrowser.newPage({ viewport: { width: 1100, height: 760 } });
  await sender.goto(`http://127.0.0.1:${harness.port}/`);
  await sender.click('#start');
  await until('"Waiting for the TV…" or "Connected"', async () =>
    ['Waiting for the TV…', 'Connected'].includes(await status(sender)));
  await until('"Connected"', async () => (await status(sender)) === 'Connected', 20000);
  await expectPicture(tv);
  assert.equal(answers.length, 1, 'the TV answers an offer once');
  // H.264, which TVs decode in hardware, whenever this browser can send it.
  const codecs = await sender.evaluate(async () => {
    const offered = RTCRtpSender.getCapabilities('video').codecs.some((c) => c.mimeType === 'video/H264');
    const stats = await session.pc.getStats();
    let used = null;
    stats.forEach((s) => {
      if (s.type === 'outbound-rtp' && s.kind === 'video' && s.codecId) used = stats.get(s.codecId).mimeType;
    });
    return { offered, used };
  });
  if (codecs.offered) assert.equal(codecs.used, 'video/H264');

  // The sender shows what it sends once the statistics come in.
  await until('sender statistics', async () => /^\d+×\d+$/.test(await sender.textContent('#statSize')) &&
    /Mbit\/s$/.test(await sender.textContent('#statRate')), 10000);
  assert.match(await sender.textContent('#statRtt'), /^\d+ ms$/);
  await screenshot(sender, 'sender-connected.png');

  // The TV's health line reports the WebRTC figures.
  await tv.keyboard.press('Enter');   // the first key turns the sound on
  await tv.keyboard.press('i');
  await until('WebRTC health line', async () =>
    /^webrtc · \d+×\d+ · \d+ fps · round trip \d+ ms · jitter buffer \d+ ms$/.test(await tv.textContent('#health')), 10000);
  await tv.keyboard.press('i');

  // The menu's "Stop Casting": both pages end the session.
  await harness.send('stop');
  await until('the sender to stop', async () => (await status(sender)) === 'Stopped', 10000);
  assert.equal(await sender.textContent('#detail'), 'Stopped from the Skylark menu.');
  await until('the TV to go idle', async () => (await tvMode(tv)) === 'idle', 10000);
  assert.equal(await tv.evaluate(() => document.getElementById('video').srcObject), null);

  // A second session, ended with the sender's own Stop button.
  await sender.click('#start');
  await until('"Connected" again', async () => (await status(sender)) === 'Connected', 20000);
  await expectPicture(tv);
  await sender.click('#stop');
  assert.equal(await status(sender), 'Stopped');
  assert.equal(await sender.textContent('#detail'), 'You stopped sharing.');
  await until('the TV to go idle after the sender stopped', async () => (await tvMode(tv)) === 'idle', 10000);
  assert.equal(answers.length, 2);
});
