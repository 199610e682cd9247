// The TV page's scenarios, one list run in the engine SKYLARK_ENGINE names (engines.mjs) against
// the real server, which the harness feeds with a live cast from Skylark's own writer. Run in a
// network namespace (in_netns.sh), whose address SKYLARK_NETNS_ADDRESS is how a TV reaches it.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startHarness, until, sleep } from './support.mjs';
import { launchEngine, launchChromium } from './engines.mjs';

const { SKYLARK_ENGINE: ENGINE = 'chromium', SKYLARK_NETNS_ADDRESS: ADDRESS } = process.env;
const NO_NETNS = !ADDRESS && 'needs root for a network namespace (a TV reaches the server by a non-loopback address)';
// What each engine here can do: the page must find the same. The cast comes over WebRTC only
// as H.264, which Firefox ESR decodes in WebRTC only with a plugin it downloads itself.
const WEBRTC = { chromium: true, firefox: true, wpe: false, webkitgtk: false }[ENGINE];
const WHEP = ENGINE === 'chromium';
const CAST = WHEP ? 'webrtc-cast' : 'hls-mse';
const [WORKS, NO_WEBRTC] = ['yes: Share Screen works on this TV.', 'no: Low Latency Sharing does not work in this browser (no WebRTC).'];

let harness, engine;
before(async () => { [harness, engine] = [await startHarness(), await launchEngine(ENGINE)]; console.log(`# ${engine.version}`); });
after(async () => { await engine?.close(); await harness?.close(); });

const text = (page, selector) => page.evaluate((s) => document.querySelector(s).textContent, selector);
const shown = (page, selector) => page.evaluate((s) => !document.querySelector(s).hidden, selector);
const mode = (page) => page.evaluate(() => document.body.getAttribute('data-mode'));
const inMode = (page, wanted, timeoutMs) => until(`mode ${wanted}`, async () => (await mode(page)) === wanted, timeoutMs);
const currentTime = (page) => page.evaluate(() => document.getElementById('video').currentTime);
const playsOn = (page, seconds = 1) => currentTime(page).then((from) => until('playback to advance', async () => (await currentTime(page)) > from + seconds));
const waitForPlayback = (page, wantedMode) => inMode(page, wantedMode)
  .then(() => until('playback to begin', async () => (await currentTime(page)) > 0)).then(() => playsOn(page, 1.5)).then(() => inMode(page, wantedMode, 0));

// Records every request the page makes, through its XMLHttpRequest helper or (segments as they
// are written) fetch, and can hold segment requests back `hold` ms, as a congested network would.
const RECORD = () => {
  const rec = window.rec = { asked: [], hold: 0, held: 0 };
  const wrap = (call, what) => (...args) => rec.asked.push(what(...args)) && rec.hold && /segment\d+\.m4s$/.test(what(...args)) && ++rec.held
    ? new Promise((resolve) => setTimeout(resolve, rec.hold)).then(() => call(...args)) : call(...args);
  Skylark.http.request = wrap(Skylark.http.request, (method, url) => `${method} ${url}`);
  if (window.fetch) window.fetch = wrap(window.fetch.bind(window), (url, init) => `${(init && init.method) || 'GET'} ${url}`);
};
const asked = (page, pattern) => page.evaluate((p) => window.rec.asked.filter((a) => new RegExp(p).test(a)), pattern.source);

const open = async (path, before) => { const page = await engine.newPage({ before }); await page.goto(harness.url + path); await page.evaluate(RECORD); return page; };

// A TV page on `path` while the writer casts; `run(page)` is the scenario.
async function whileCasting(path, run, beforeCast = () => {}) {
  const page = await open(path).then(async (page) => { await page.evaluate(beforeCast); return page; });
  await harness.send('writer');
  try { await run(page); } finally { await harness.send('writer-stop'); }
  return page;
}

test('the root sends a TV to its page, with a way back, and stays the sender page on the computer', { skip: NO_NETNS }, async () => {
  const page = await engine.newPage();
  await page.goto(`http://${ADDRESS}:${harness.port}/`);
  await until('the TV page', async () => (await page.url()).endsWith('/tv.html?from=root'));
  await page.evaluate(() => { setTimeout(() => document.getElementById('sendLink').click()); });
  await until('the sender page', async () => (await page.url()).endsWith('/sender.html?send'));
  assert.equal(await text(page, '#start'), 'Start sharing');
  await page.goto(`${harness.url}/`);
  await until('the TV address', async () => /^http:\/\/[\d.]+:\d+$/.test(await text(page, '#tvAddress')));
});

test('a TV on another address waits with the code the computer asks about, plays once allowed, and is told when denied', { skip: NO_NETNS }, async () => {
  const tvUrl = `http://${ADDRESS}:${harness.port}`;
  const code = (page) => until('the code', async () => /^\d{4}$/.test(await text(page, '#accessCode')) && text(page, '#accessCode'));
  await harness.send('ask on');
  await harness.send('writer');
  const tv = await engine.newPage();
  try {
    await tv.goto(`${tvUrl}/tv.html`);
    const shownCode = await code(tv);
    assert.equal(await text(tv, '#accessTitle'), 'Waiting for the computer to allow this TV');
    assert.equal(await shown(tv, '#hint'), false);
    // Another client at the same address, without the TV's key, gets neither stream nor relay.
    const stranger = async () => Promise.all(['/live/stream.m3u8', '/live/init.mp4', '/live/progressive/segment0.m4s', '/api/offer']
      .map(async (path) => (await fetch(tvUrl + path)).status));
    assert.deepEqual(await stranger(), [403, 403, 403, 403]);
    await sleep(1500);
    assert.equal(await mode(tv), 'idle');
    await harness.send(`allow ${shownCode}`);
    await waitForPlayback(tv, CAST);
    assert.equal(await shown(tv, '#access'), false);
    assert.deepEqual(await stranger(), [403, 403, 403, 403]);
    if (ENGINE === 'chromium') {
      // A sender page on another device asks as well before it posts an offer.
      const senderBrowser = await launchChromium(['--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
        `--unsafely-treat-insecure-origin-as-secure=${tvUrl}`]);   // screen capture needs a secure context
      try {
        const sender = await senderBrowser.newPage();
        await sender.goto(`${tvUrl}/sender.html?send`);
        await sender.click('#start');
        const asking = await until('the sender to ask', async () => /code (\d{4})\.$/.exec(await sender.textContent('#detail')));
        await harness.send(`allow ${asking[1]}`);
        await until('the offer', async () => /^(Waiting for the TV…|Connected)$/.test(await sender.textContent('#status')));
      } finally {
        await senderBrowser.close();
        await fetch(`${harness.url}/api/reset`, { method: 'POST' });   // no offer left for later TVs
      }
    }
    // Once its key is gone it asks again; denied, it says so and stops asking.
    await tv.evaluate(() => { document.cookie = 'skylark-key=; path=/; max-age=0'; try { localStorage.clear(); } catch (e) {} });
    await tv.goto(`${tvUrl}/tv.html`);
    const second = await code(tv);
    await harness.send(`deny ${second}`);
    await until('the refusal', async () => (await text(tv, '#accessTitle')) === 'The computer did not allow this TV to watch');
    assert.equal(await mode(tv), 'idle');
  } finally {
    await harness.send('writer-stop');
    await harness.send('ask off');
    await tv.close();
  }
});

test('the idle screen says what works on this TV, and fits the screen', async (t) => {
  for (const [width, height, lacking, lines] of [
    [1920, 1080, [], `${WORKS} | ${WEBRTC ? 'yes: Low Latency Sharing works on this TV.' : NO_WEBRTC}`],
    [1280, 720, ['RTCPeerConnection'], `${WORKS} | ${NO_WEBRTC}`],
  ]) {
    await t.test(`${width}x${height} without [${lacking}]`, { skip: lacking.length > 0 && !engine.before &&
      'classic WebDriver cannot run a script ahead of the page to take an API away' }, async () => {
      const page = await engine.newPage({ width, height, before: (names) => names.forEach((name) => delete window[name]), arg: lacking });
      await page.goto(`${harness.url}/tv.html`);
      await until('the logo', () => page.evaluate(() => document.getElementById('logo').naturalWidth > 0));
      assert.equal(await page.evaluate(() => [...document.querySelectorAll('#caps li')].map((i) => `${i.className}: ${i.textContent}`).join(' | ')), lines);
      assert.equal(await page.evaluate(() => [...document.querySelectorAll('#idle > :not([hidden])')].map((e) => e.getBoundingClientRect())
        .some((r) => r.top < 0 || r.left < 0 || r.bottom > innerHeight || r.right > innerWidth)), false, 'overflow');
      if (width === 1920) await page.screenshot?.('tv-idle.png');
      await page.close();
    });
  }
});

test('the TV page waits out an unreachable server without hammering it, and recovers', async () => {
  const page = await open('/tv.html');
  const polls = async () => (await asked(page, /\/api\//)).length;
  await until('first polls', async () => (await polls()) >= 3);
  await harness.send('down');
  await until('the unreachable notice', () => shown(page, '#offline'));
  const before = await polls();
  await sleep(8000);
  // Backing off from once a second: a tight loop would make hundreds of attempts.
  assert.ok((await polls()) - before <= 8, `${(await polls()) - before} attempts while the server was down`);
  // Another program may hold the freed port for a moment (as a connection's own end).
  await until('the server back', () => harness.send('up').then(() => true, () => false), 20000, 500);
  await until('the notice to go', async () => !(await shown(page, '#offline')), 20000);
  const seen = await polls();
  await until('polling again at the normal pace', async () => (await polls()) >= seen + 6, 10000);
  await page.close();
});

test('the Skylark player plays a cast as it is written, gets over lost and damaged segments and a restart, and ends idle', async () => {
  const initLoads = async (page) => (await asked(page, /\/live\/init\.mp4$/)).length;
  const page = await whileCasting('/tv.html?player=hls', async (page) => {
    await waitForPlayback(page, 'hls-mse');
    // Every engine here streams responses: each segment came fragment by fragment, none whole;
    // WebRTC was not asked for.
    assert.deepEqual([(await asked(page, /progressive\/segment\d+\.m4s$/)).length > 2, await asked(page, /\/live\/(segment\d+\.m4s|whep)$/)], [true, []]);
    // Held up for longer than the store's window, it jumps to the newest segments and plays on
    // instead of stalling on a lost one.
    const hold = async (ms, meanwhile = () => {}) => {
      await page.evaluate((ms) => Object.assign(window.rec, { hold: ms, held: 0 }), ms);
      await until('a held request', () => page.evaluate(() => window.rec.held > 0)).then(meanwhile);
      await page.evaluate(() => { window.rec.hold = 0; });
    };
    await page.evaluate(() => { window.rec.asked = []; });
    await hold(3000);
    await until('a jump past the lost segments', async () => (await asked(page, /segment\d+\.m4s$/))
      .map((a) => Number(/(\d+)\.m4s$/.exec(a)[1])).some((id, i, ids) => id > ids[i - 1] + 4), 10000);
    await playsOn(page);

    // A segment the browser cannot decode, then a new cast (identifiers from 0 again): each
    // time the player starts over by itself, without a reload.
    await page.evaluate(() => { window.notReloaded = true; });
    // (Damaged while the player waits: the segment being written as it reads would just end.)
    for (const [what, act] of [['a damaged segment', () => hold(500, () => harness.put('segment', Buffer.from('not a media segment')))],
      ['a restarted cast', () => harness.restartCast()]]) {
      const loads = await initLoads(page);
      await act();
      await until(`a fresh start after ${what}`, async () => (await initLoads(page)) > loads);
      await playsOn(page);
      assert.equal(await mode(page), 'hls-mse', what);
    }
    assert.equal(await page.evaluate(() => window.notReloaded), true);
  });
  await inMode(page, 'idle');
  assert.equal(await shown(page, '#idle'), true);
  assert.equal(await page.evaluate(() => document.getElementById('video').getAttribute('src')), null);
  await page.close();
});

test('hls.js plays a cast without a fatal error, and "Stop Casting" sends the TV to idle for good', async () => {
  const page = await whileCasting('/tv.html?player=hlsjs', async (page) => {
    await waitForPlayback(page, 'hls-hlsjs');
    await playsOn(page, 3);
    assert.equal(await page.evaluate(() => document.getElementById('video').videoWidth), 640);
    assert.deepEqual(await page.evaluate(() => window.hlsFatalErrors), []);
    // The menu's stop while the store still says live: the TV leaves the cast for good.
    await harness.send('stop');
    await inMode(page, 'idle');
    await sleep(2500);
    assert.equal(await mode(page), 'idle');
  }, () => {   // records every fatal hls.js error, whatever the page does then
    const [{ trigger }, errors] = [Hls.prototype, window.hlsFatalErrors = []];
    Hls.prototype.trigger = function (event, data) {
      if (event === Hls.Events.ERROR && data.fatal) errors.push(data.details);
      return trigger.call(this, event, data);
    };
  });
  await page.close();
});

test('a cast plays over WebRTC where the engine has it with H.264, else HLS; a TV refused or without it plays HLS; a new cast right after "Stop Casting" takes them again', { skip: WHEP && NO_NETNS }, async () => {
  // Muted autoplay with the prompt; any key turns the sound on and dismisses it; "i" then shows the health line.
  const health = (page) => until('sound prompt', () => shown(page, '#sound')).then(() => page.press('Enter'))
    .then(() => until('sound on', async () => !(await page.evaluate(() => document.getElementById('video').muted)) && !(await shown(page, '#sound'))))
    .then(() => page.press('i')).then(() => until('the health line', async () => / fps · /.test(await text(page, '#health')) && text(page, '#health')));
  const failure = (page, why) => until(why, async () => (await text(page, '#failure')) === `The cast did not play on this TV: ${why}.`);
  const pages = [];
  const tv = async (path, mode, before) => { const page = await open(path, before); pages.push(page); await (mode && waitForPlayback(page, mode)); return page; };
  try {
    await whileCasting('/tv.html', async (first) => {
      pages.push(first);
      await waitForPlayback(first, CAST);
      const hls = /^hls \(Skylark player\) · 640×360 · \d+ fps · [\d.]+ s behind live · rate [\d.]+/;
      assert.match(await health(first), WHEP ? /^webrtc \(Skylark cast\) · 640×360 · \d+ fps · round trip \d+ ms/ : hls);
      if (WHEP) {
        // Four places: the fifth TV is refused and plays HLS, or with ?player=webrtc says why.
        for (let i = 1; i < 4; i++) await tv('/tv.html', CAST);
        const [fifth, refused] = [await health(await tv('/tv.html', 'hls-mse')), 'refused: 503 Every WebRTC place is taken; this TV plays the HLS stream'];
        assert.ok(hls.test(fifth) && fifth.endsWith(` · after webrtc (Skylark cast) gave up: ${refused}.`), fifth);
        await failure(await tv('/tv.html?player=webrtc'), refused);
        // A TV that leaves gives its place back; one whose browser lacks WebRTC asks for none.
        await pages.splice(1, 1)[0].close();
        await tv('/tv.html', CAST);
        const without = await tv('/tv.html', 'hls-mse', () => { delete window.RTCPeerConnection; });
        assert.deepEqual(await asked(without, /whep/), []);
        for (const page of pages.splice(1, pages.length - 2)) await page.close();   // none competes for a place below
      }
      // The menu's stop, and a share again before the next poll (/api/live never reads false): every TV
      // leaves the stopped cast and takes the new one, told apart by its identifiers below the stopped one's.
      await playsOn(first, 2);
      await Promise.all(pages.map((page) => page.evaluate(() =>
        new MutationObserver(() => window.rec.asked.push(`mode ${document.body.dataset.mode}`)).observe(document.body, { attributes: true }))));
      await harness.send('stop');
      await harness.restartCast();
      await Promise.all(pages.map((page) => until('the TV to leave the stopped cast', async () => (await asked(page, /^mode idle$/)).length)));
      await waitForPlayback(first, CAST);
      if (!WHEP) await failure(await tv('/tv.html?player=webrtc'), 'no WebRTC with H.264 in this browser');
    });
  } finally {
    for (const page of new Set(pages)) await page.close();   // classic WebDriver has one page
  }
});

test('the sender page shares to the TV page over WebRTC, and both stop on every kind of stop', { skip: NO_NETNS }, async () => {
  const senderBrowser = await launchChromium(['--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream']);
  try {
    const tv = await engine.newPage();
    await tv.goto(`http://${ADDRESS}:${harness.port}/`);
    await until('the TV page', async () => (await tv.url()).endsWith('/tv.html?from=root'));
    await tv.evaluate(RECORD);
    const answers = async () => (await asked(tv, /^POST \/api\/answer$/)).length;
    const sender = await senderBrowser.newPage({ viewport: { width: 1100, height: 760 } });
    await sender.goto(`http://127.0.0.1:${harness.port}/`);
    const status = (page, selector, pattern) => until(`${selector} ${pattern}`, async () => pattern.test(await text(page, selector)), 20000);
    if (!WEBRTC) {
      // No WebRTC here: the offer goes unanswered and the TV stays idle, still polling.
      await sender.click('#start');
      await until('the TV to see the offer', async () => (await asked(tv, /\/api\/offer$/)).length > 5);
      assert.deepEqual([await mode(tv), await answers()], ['idle', 0]);
      return;
    }
    const frames = () => tv.evaluate(() => new Promise((resolve) =>
      document.getElementById('video').requestVideoFrameCallback((now, meta) => resolve(meta.presentedFrames))));
    // The second share has no sound, as on every Linux desktop: the page says so.
    for (const [stop, detail, silent] of [[() => harness.send('stop'), 'Stopped from the Skylark menu.', false],
      [() => sender.click('#stop'), 'You stopped sharing.', true]]) {
      if (silent) await sender.evaluate(() => { const get = navigator.mediaDevices.getDisplayMedia.bind(navigator.mediaDevices);
        navigator.mediaDevices.getDisplayMedia = (c) => get(c).then((s) => { s.getAudioTracks().forEach((t) => { t.stop(); s.removeTrack(t); }); return s; }); });
      await sender.click('#start');
      await status(sender, '#status', /^Connected$/);
      assert.equal(await sender.isVisible('#noSound'), silent);
      if (silent) assert.match(await sender.textContent('#noSound'), /^This browser shares no system sound here: .* Share Screen .* at the same delay\.$/);
      await inMode(tv, 'webrtc', 20000);
      const first = await frames();
      await until('the TV to show frame after frame', async () => (await frames()) > first + 30, 20000);
      if ((await answers()) === 1) {
        // H.264, which TVs decode in hardware, whenever the sender can send it and the TV took it
        // (Firefox decodes it in WebRTC only with a plugin it downloads itself).
        const used = await sender.evaluate(async () => {
          const stats = [...(await session.pc.getStats()).values()];
          return stats.find((s) => s.id === stats.find((o) => o.type === 'outbound-rtp' && o.kind === 'video')?.codecId)?.mimeType;
        });
        if (await tv.evaluate(() => /H264\//.test(Skylark.screen.current.pc.localDescription.sdp))) assert.equal(used, 'video/H264');
        // Both pages show the connection's figures.
        for (const [selector, pattern] of [['#statSize', /^\d+×\d+$/], ['#statRate', /Mbit\/s$/], ['#statRtt', /^\d+ ms$/]]) await status(sender, selector, pattern);
        if (process.env.SKYLARK_SCREENSHOT_DIR) await sender.screenshot({ path: `${process.env.SKYLARK_SCREENSHOT_DIR}/sender-connected.png` });
        await tv.press('Enter').then(() => tv.press('i'));   // the first key turns the sound on
        await status(tv, '#health', /^webrtc · \d+×\d+ · \d+ fps · round trip \d+ ms · jitter buffer \d+ ms$/);
      }
      await stop();
      await status(sender, '#status', /^Stopped$/);
      assert.equal(await sender.textContent('#detail'), detail);
      await inMode(tv, 'idle', 10000);
      assert.equal(await tv.evaluate(() => document.getElementById('video').srcObject), null);
    }
    assert.equal(await answers(), 2, 'the TV answers each offer once');
  } finally {
    await senderBrowser.close();
  }
});
