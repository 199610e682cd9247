// The TV page in a real browser against the real server: which page a TV gets, the idle screen
// and its capability check, a server that goes away and comes back, and the native path: the
// harness encodes a live cast with Skylark's own writer into the real store, and the page plays
// it with its own player and with hls.js.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { serverAndBrowser, until, sleep, mode, inMode, playsOn, waitForPlayback, screenshot } from './support.mjs';

// A TV reaches the computer by a name or address that is not loopback; this name is one. No
// autoplay flag: the page must autoplay muted.
const env = serverAndBrowser(['--host-resolver-rules=MAP skylark-test.local 127.0.0.1']);
const capabilities = (page) => page.locator('#caps li').evaluateAll((items) => items.map((i) => `${i.className}: ${i.textContent}`));
const video = (page, what) => page.evaluate((key) => document.getElementById('video')[key], what);

// A TV page on `path` while the writer casts; `run(page)` is the scenario.
async function whileCasting(path, run, beforeCast = () => {}) {
  const page = await env.browser.newPage({ viewport: { width: 1280, height: 720 } });
  await page.goto(env.harness.url + path);
  await page.evaluate(beforeCast);
  await env.harness.send('writer');
  try { await run(page); } finally { await env.harness.send('writer-stop'); }
  return page;
}

test('the root sends a TV to its page, with a way back, and stays the sender page on the computer', async () => {
  const page = await env.browser.newPage();
  await page.goto(`http://skylark-test.local:${env.harness.port}/`);
  await until('the TV page', () => page.url().endsWith('/tv.html?from=root'));
  await page.click('#sendLink');
  await until('the sender page', () => page.url().endsWith('/sender.html?send'));
  assert.equal(await page.textContent('#start'), 'Start sharing');
  await page.goto(`${env.harness.url}/`);
  await until('the TV address', async () => /^http:\/\/[\d.]+:\d+$/.test(await page.textContent('#tvAddress')));
  await page.close();
});

test('the idle screen says what works on this TV, and fits at 1080p and at 720p', async () => {
  const works = 'yes: Share Screen works on this TV.';
  for (const [width, height, lacking, lines] of [
    [1920, 1080, [], `${works} | yes: Low Latency Sharing works on this TV.`],
    [1280, 720, ['RTCPeerConnection'], `${works} | no: Low Latency Sharing does not work in this browser (no WebRTC).`],
    // The browser's own HLS, if this Chromium has it, is the last resort.
    [1280, 720, ['RTCPeerConnection', 'MediaSource'], /^(yes: Share Screen works on this TV, a few seconds behind|no: Share Screen does not work in this browser)/],
  ]) {
    const page = await env.browser.newPage({ viewport: { width, height } });
    await page.addInitScript((names) => names.forEach((name) => delete window[name]), lacking);
    await page.goto(`${env.harness.url}/tv.html`);
    await page.waitForFunction(() => document.getElementById('logo').naturalWidth > 0);
    (typeof lines === 'string' ? assert.equal : assert.match)((await capabilities(page)).join(' | '), lines);
    assert.equal(await page.evaluate(() => [...document.querySelectorAll('#idle > :not([hidden])')]
      .map((e) => e.getBoundingClientRect())
      .some((r) => r.top < 0 || r.left < 0 || r.bottom > innerHeight || r.right > innerWidth)), false, 'overflow');
    if (width === 1920) await screenshot(page, 'tv-idle.png');
    await page.close();
  }
});

test('the TV page waits out an unreachable server without hammering it, and recovers', async () => {
  const page = await env.browser.newPage();
  let polls = 0;
  page.on('request', (r) => { if (r.url().includes('/api/')) polls++; });
  await page.goto(`${env.harness.url}/tv.html`);
  await until('first polls', () => polls >= 3);
  await env.harness.send('down');
  await until('the unreachable notice', () => page.isVisible('#offline'));
  const before = polls;
  await sleep(8000);
  // Backing off from once a second: a tight loop would make hundreds of attempts.
  assert.ok(polls - before <= 8, `${polls - before} attempts while the server was down`);
  // Another program may hold the freed port for a moment (as a connection's own end).
  await until('the server back', () => env.harness.send('up').then(() => true, () => false), 20000, 500);
  await until('the notice to go', async () => !(await page.isVisible('#offline')), 20000);
  const seen = polls;
  await until('polling again at the normal pace', () => polls >= seen + 6, 10000);
  await page.close();
});

test('the Skylark player plays a cast as it is written, gets over lost and damaged segments and a restart, and ends idle', async () => {
  let initLoads = 0;
  const asked = [];
  const whole = [];
  const page = await whileCasting('/tv.html', async (page) => {
    page.on('request', (r) => {
      if (r.url().endsWith('/live/init.mp4')) initLoads++;
      if (/segment\d+\.m4s$/.test(r.url())) asked.push(Number(/(\d+)\.m4s$/.exec(r.url())[1]));
      if (/\/live\/segment\d+\.m4s$/.test(r.url())) whole.push(r.url());
    });
    await waitForPlayback(page, 'hls-mse');
    // Chromium streams responses: every segment came fragment by fragment, none whole.
    assert.ok(asked.length > 2 && whole.length === 0, `${asked.length} segments, ${whole.length} whole`);
    // Muted autoplay with the prompt; any key turns the sound on and dismisses it.
    await until('sound prompt', () => page.isVisible('#sound'));
    await page.keyboard.press('Enter');
    await until('sound on', async () => !(await video(page, 'muted')) && !(await page.isVisible('#sound')));
    await page.keyboard.press('i');
    await until('health line', async () =>
      /Skylark player\) · 640×360 · \d+ fps · [\d.]+ s behind live/.test(await page.textContent('#health')));

    // Held up for longer than the store's window, it jumps to the newest segments and plays on
    // instead of stalling on a lost one.
    let held = 0;
    asked.length = 0;
    await page.route('**/segment*.m4s', async (route) => { held++; await sleep(3000); await route.continue(); });
    await until('a held request', () => held > 0);
    await page.unrouteAll({ behavior: 'wait' });
    await until('a jump past the lost segments', () => asked.some((id, i) => id > asked[i - 1] + 4), 10000);
    await playsOn(page);

    // A segment the browser cannot decode, then a new cast (identifiers from 0 again): each
    // time the player starts over by itself, without a reload.
    await page.evaluate(() => { window.notReloaded = true; });
    for (const [what, act] of [['a damaged segment', () => env.harness.put('segment', Buffer.from('not a media segment'))],
      ['a restarted cast', () => env.harness.restartCast()]]) {
      const loads = initLoads;
      await act();
      await until(`a fresh start after ${what}`, () => initLoads > loads);
      await playsOn(page);
      assert.equal(await mode(page), 'hls-mse', what);
    }
    assert.equal(await page.evaluate(() => window.notReloaded), true);
  });
  await inMode(page, 'idle');
  assert.equal(await page.isVisible('#idle'), true);
  assert.equal(await page.evaluate(() => document.getElementById('video').getAttribute('src')), null);
});

test('hls.js plays a cast without a fatal error, and "Stop Casting" sends the TV to idle for good', async () => {
  await whileCasting('/tv.html?player=hlsjs', async (page) => {
    await waitForPlayback(page, 'hls-hlsjs');
    await playsOn(page, 3);
    assert.equal(await video(page, 'videoWidth'), 640);
    assert.deepEqual(await page.evaluate(() => window.hlsFatalErrors), []);
    // The menu's stop while the store still says live: the TV leaves the cast for good.
    await env.harness.send('stop');
    await inMode(page, 'idle');
    await sleep(2500);
    assert.equal(await mode(page), 'idle');
  }, () => {   // records every fatal hls.js error, whatever the page does then
    window.hlsFatalErrors = [];
    const { trigger } = Hls.prototype;
    Hls.prototype.trigger = function (event, data) {
      if (event === Hls.Events.ERROR && data.fatal) window.hlsFatalErrors.push(data.details);
      return trigger.call(this, event, data);
    };
  });
});

test('a new cast begun right after "Stop Casting" takes the TV again', async () => {
  await whileCasting('/tv.html', async (page) => {
    await waitForPlayback(page, 'hls-mse');
    await page.evaluate(() => {
      window.modes = [];
      new MutationObserver(() => window.modes.push(document.body.dataset.mode)).observe(document.body, { attributes: true });
    });
    // Stop, and share again before the TV's next poll: /api/live never reads false between.
    await env.harness.send('stop');
    await env.harness.restartCast();
    await until('the TV to leave the stopped cast', () => page.evaluate(() => window.modes.includes('idle')));
    await waitForPlayback(page, 'hls-mse');
  });
});
