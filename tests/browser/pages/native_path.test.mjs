// The native path in a real browser: the harness feeds the store with a live ffmpeg stream in
// real time and the TV page plays it, with its own player and with hls.js. Glass-to-glass
// delays are printed as benchmark lines, never asserted.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  startHarness, launchChromium, startLiveStream, measureGlassToGlass, measureSourceDelay, until, sleep,
} from './support.mjs';

let harness;
let browser;

before(async () => {
  harness = await startHarness();
  browser = await launchChromium();   // no autoplay flag: the page must autoplay muted
});

after(async () => {
  await browser?.close();
  await harness?.close();
});

const mode = (page) => page.evaluate(() => document.body.dataset.mode);
const currentTime = (page) => page.evaluate(() => document.getElementById('video').currentTime);

async function waitForPlayback(page, wantedMode) {
  await until(`mode ${wantedMode}`, async () => (await mode(page)) === wantedMode);
  const start = await until('playback to begin', async () => {
    const t = await currentTime(page);
    return t > 0 ? t : null;
  });
  await until('currentTime to advance', async () => (await currentTime(page)) > start + 1.5);
}

function report(player, result) {
  console.log(`benchmark: glass-to-glass with ${player}: median ${result.medianMs} ms, ` +
    `90th percentile ${result.p90Ms} ms over ${result.frames} frames`);
}

test('the Skylark player plays a live cast, follows a restarted cast and returns to idle', async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
  const initLoads = [];
  page.on('request', (r) => { if (r.url().endsWith('/live/init.mp4')) initLoads.push(r.url()); });
  await page.goto(`http://127.0.0.1:${harness.port}/tv.html`);
  assert.equal(await mode(page), 'idle');

  const stream = await startLiveStream(harness);
  try {
    await waitForPlayback(page, 'hls-mse');

    // Muted autoplay with the prompt; any key turns the sound on and dismisses it.
    assert.equal(await page.evaluate(() => document.getElementById('video').muted), true);
    await until('sound prompt', () => page.isVisible('#sound'));
    assert.equal(await page.textContent('#sound'), 'Press OK to turn on sound');
    await page.keyboard.press('Enter');
    await until('sound on', () => page.evaluate(() => !document.getElementById('video').muted));
    assert.equal(await page.isVisible('#sound'), false);

    report('the Skylark player', await measureGlassToGlass(page, 8));
    const source = await measureSourceDelay(page, 3);
    console.log(`benchmark: the test stream itself adds ${source.medianMs} ms (age of a segment's ` +
      `first frame when it enters the store, median of ${source.segments})`);

    // The health line, hidden until asked for, names the path and how far behind live it is.
    assert.equal(await page.isVisible('#health'), false);
    await page.keyboard.press('i');
    await until('health line', async () =>
      /Skylark player\) · 640×360 · \d+ fps · [\d.]+ s behind live/.test(await page.textContent('#health')));
    await page.keyboard.press('i');
    assert.equal(await page.isVisible('#health'), false);

    // A TV that falls behind by more than the store's window (its requests held up for 3 s)
    // jumps to the newest segments and plays on instead of stalling on a lost one.
    const asked = [];
    const onRequest = (r) => {
      const m = /segment(\d+)\.m4s$/.exec(r.url());
      if (m) asked.push(Number(m[1]));
    };
    page.on('request', onRequest);
    let held = 0;
    await page.route('**/live/segment*.m4s', async (route) => {
      held++;
      await sleep(3000);
      await route.continue();
    });
    await until('a held request', () => held > 0);
    await page.unrouteAll({ behavior: 'wait' });
    await until('a jump past the lost segments',
      () => asked.some((id, i) => i > 0 && id > asked[i - 1] + 4), 10000);
    const resumed = await currentTime(page);
    await until('playback after the jump', async () => (await currentTime(page)) > resumed + 1);
    page.off('request', onRequest);
    assert.equal(await mode(page), 'hls-mse');

    // A segment the browser cannot decode: the player starts over by itself, without a reload.
    await page.evaluate(() => { window.notReloaded = true; });
    const loadsBeforeError = initLoads.length;
    await stream.inject(Buffer.from('not a media segment, but the store does not know that'));
    await until('a fresh start after the bad segment', () => initLoads.length > loadsBeforeError);
    const recovered = await currentTime(page);
    await until('playback after the bad segment', async () => (await currentTime(page)) > recovered + 1);
    assert.equal(await mode(page), 'hls-mse');
    assert.equal(await page.evaluate(() => window.notReloaded), true);

    // A new cast restarts the identifiers at 0: the player starts again cleanly by itself.
    const loadsBefore = initLoads.length;
    await stream.reset();
    await until('a fresh start on the new cast', () => initLoads.length > loadsBefore);
    const after = await measureGlassToGlass(page, 3);
    assert.ok(after.frames > 0, 'frames of the new cast are shown');
    assert.equal(await mode(page), 'hls-mse');
  } finally {
    await harness.send('end');
    await stream.stop();
  }
  // The store stopped: back to the idle screen, player released.
  await until('idle after the cast ends', async () => (await mode(page)) === 'idle');
  assert.equal(await page.isVisible('#idle'), true);
  assert.equal(await page.evaluate(() => document.getElementById('video').getAttribute('src')), null);
  await page.close();
});

test('hls.js plays the same stream, and a stop from the menu returns the TV to idle', async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
  await page.goto(`http://127.0.0.1:${harness.port}/tv.html?player=hlsjs`);
  const stream = await startLiveStream(harness);
  try {
    await waitForPlayback(page, 'hls-hlsjs');
    report('hls.js', await measureGlassToGlass(page, 8));

    // "Stop Casting" raises the stop counter; the TV leaves the stream even while the store
    // still says live, and does not pick the same cast up again.
    await harness.send('stop');
    await until('idle after the stop counter changed', async () => (await mode(page)) === 'idle');
    await sleep(2500);
    assert.equal(await mode(page), 'idle');
  } finally {
    await harness.send('end');
    await stream.stop();
  }
  await page.close();
});

test("hls.js plays a live cast from Skylark's own writer without a fatal error", async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
  // Record every fatal hls.js error, whatever the page then does about it.
  await page.addInitScript(() => {
    window.hlsFatalErrors = [];
    let Hls;
    Object.defineProperty(window, 'Hls', {
      configurable: true,
      get: () => Hls,
      set: (value) => {
        Hls = value;
        const attachMedia = value.prototype.attachMedia;
        value.prototype.attachMedia = function (media) {
          window.hlsErrorsWatched = true;
          this.on(value.Events.ERROR, (event, data) => {
            if (data.fatal) window.hlsFatalErrors.push(data.details);
          });
          return attachMedia.call(this, media);
        };
      },
    });
  });
  await page.goto(`http://127.0.0.1:${harness.port}/tv.html?player=hlsjs`);
  await harness.send('writer');
  try {
    await waitForPlayback(page, 'hls-hlsjs');
    const start = await currentTime(page);
    await sleep(4000);
    assert.ok((await currentTime(page)) > start + 3, 'plays on for several seconds');
    assert.equal(await page.evaluate(() => document.getElementById('video').videoWidth), 640);
    assert.equal(await page.evaluate(() => window.hlsErrorsWatched), true);
    assert.deepEqual(await page.evaluate(() => window.hlsFatalErrors), []);
  } finally {
    await harness.send('writer-stop');
  }
  await until('idle once the cast ends', async () => (await mode(page)) === 'idle');
  await page.close();
});

test('a new cast begun right after "Stop Casting" takes the TV again', async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
  await page.goto(`http://127.0.0.1:${harness.port}/tv.html`);
  await harness.send('writer');
  try {
    await waitForPlayback(page, 'hls-mse');
    // Stop, and share again before the TV's next poll: /api/live never reads false between.
    await harness.send('stop');
    await harness.send('writer');
    await until('idle after the stop', async () => (await mode(page)) === 'idle');
    await waitForPlayback(page, 'hls-mse');
  } finally {
    await harness.send('writer-stop');
  }
  await page.close();
});
