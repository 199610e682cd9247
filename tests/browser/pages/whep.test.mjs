// The native cast over WebRTC (/live/whep) in Chromium against the real server, its real
// webrtcbin sessions and a live cast from Skylark's own writer. Run in a network namespace
// (in_netns.sh): Chromium gathers no candidates on loopback alone.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';
import { startHarness, until, CHROMIUM, CHROMIUM_ARGS } from './support.mjs';
import { launchChromium } from './engines.mjs';

const NO_NETNS = !process.env.SKYLARK_NETNS_ADDRESS && 'needs root for a network namespace (WebRTC candidates)';
let harness, browser, page;
before(async () => {
  [harness, browser] = [await startHarness(), await launchChromium(['--autoplay-policy=no-user-gesture-required'])];
  page = await browser.newPage();
  await page.goto(`${harness.url}/api/info`);  // the server's origin, so posts pass its guard
});
after(async () => { await browser?.close(); await harness?.close(); });

// Posts an offer as the TV page does (after gathering, whole) from `on` (the test's page unless
// given), `mangle`d first; a 201 joins window.viewers with a video element playing it.
const post = (mangle = 'sdp => sdp', type = 'application/sdp', on = page) => on.evaluate(async ([mangle, type]) => {
  const pc = new RTCPeerConnection();
  pc.addTransceiver('video', { direction: 'recvonly' });
  pc.addTransceiver('audio', { direction: 'recvonly' });
  const video = Object.assign(document.createElement('video'), { autoplay: true, srcObject: new MediaStream() });
  pc.ontrack = ({ track, streams }) => { video.srcObject.addTrack(track); video.dataset.streams = `${video.dataset.streams || ''} ${streams.map((m) => m.id)}`.trim(); };
  await pc.setLocalDescription();
  await new Promise((resolve) => { pc.onicegatheringstatechange = () => pc.iceGatheringState === 'complete' && resolve(); setTimeout(resolve, 1000); });
  const reply = await fetch('/live/whep', { method: 'POST', headers: { 'Content-Type': type }, body: eval(mangle)(pc.localDescription.sdp) });
  const answer = await reply.text();
  if (reply.status !== 201) return pc.close(), { status: reply.status, answer };
  await pc.setRemoteDescription({ type: 'answer', sdp: answer });
  document.body.append(video);
  (window.viewers ||= []).push({ pc, video });
  return { status: 201, location: reply.headers.get('Location'), type: reply.headers.get('Content-Type'), answer };
}, [String(mangle), type]);

// What the n-th viewer has received: decoded frames and size, the streams of its tracks, sound
// packets and energy; the states of its connection and of its DTLS transport.
const received = (n) => page.evaluate(async (n) => {
  const { pc, video } = window.viewers[n];
  const audio = [...(await pc.getStats()).values()].find((s) => s.type === 'inbound-rtp' && s.kind === 'audio') || {};
  return { frames: video.getVideoPlaybackQuality().totalVideoFrames, width: video.videoWidth, height: video.videoHeight, streams: video.dataset.streams,
    packets: audio.packetsReceived || 0, energy: audio.totalAudioEnergy || 0, state: pc.connectionState + '/' + pc.getReceivers()[0].transport?.state };
}, n);
const flowing = async (n) => {
  const first = await until('media to arrive', async () => { const r = await received(n); return r.frames > 0 && r.packets > 0 && r; }, 10000);
  return until('media to keep arriving', async () => { const r = await received(n); return r.frames > first.frames + 10 && r.packets > first.packets + 50 && r; }, 10000);
};
const remove = (location) => page.evaluate((l) => fetch(l, { method: 'DELETE' }).then((r) => r.status), location);

test('a native cast reaches four WebRTC viewers with its picture and tone; bad offers and the fifth are refused; a stop ends them', { skip: NO_NETNS }, async () => {
  assert.deepEqual(await post(), { status: 503, answer: 'No cast is live.' });
  await harness.send('writer');
  try {
    const first = await post();
    assert.match(first.location, /^\/live\/whep\/[0-9a-f]{32}$/);
    assert.equal(first.type, 'application/sdp');
    assert.match(first.answer, /a=candidate:.* typ host/);
    assert.doesNotMatch(first.answer, /typ (srflx|relay)/);
    const got = await flowing(0);
    // Picture and sound of one stream: the browser syncs only those.
    assert.deepEqual([got.width, got.height, got.state, got.streams], [640, 360, 'connected/connected', 'skylark-cast skylark-cast']);
    assert.ok(got.energy > 0, 'the tone is heard');

    // Nothing of these takes a place or harms the sessions.
    for (const [mangle, type, status, answer] of [
      ['sdp => sdp', 'text/plain', 415, /application\/sdp/],
      ['() => "hello"', undefined, 400, /not a session description/],
      ['sdp => sdp.replace(/H264/g, "H265")', undefined, 400, /no H\.264 video/],
      ['sdp => "v=0\\r\\nm=video 9 UDP/TLS/RTP/SAVPF 96\\r\\na=rtpmap:96 H264/90000\\r\\na=fmtp:96 packetization-mode=1\\r\\n"', undefined, 400, /./],
      ['sdp => sdp + "a=x:" + "y".repeat(65536)', undefined, 413, /too large/],
    ]) {
      const reply = await post(mangle, type);
      assert.equal(reply.status, status, `${mangle} as ${type}`);
      assert.match(reply.answer, answer);
    }
    const more = [await post(), await post(), await post()];
    assert.deepEqual(more.map((r) => r.status), [201, 201, 201]);
    assert.deepEqual(await post(), { status: 503, answer: 'Every WebRTC place is taken; this TV plays the HLS stream.' });
    await flowing(3);

    // Leaving frees the place; an unknown or gone session is not found.
    assert.deepEqual([await remove(more[0].location), await remove(more[0].location), await remove('/live/whep/x')], [204, 404, 404]);
    await until('the one who left to be let go', async () => (await received(1)).state.endsWith('/closed'), 2000);
    assert.equal((await post()).status, 201);
    await flowing(4);
    // A viewer that closes its connection without a word frees its place too.
    await page.evaluate(() => window.viewers[2].pc.close());
    await until('the place of the one who closed', async () => (await post()).status === 201, 3000, 200);
    await flowing(5);
  } finally {
    await harness.send('writer-stop');
  }
  // The server closes each DTLS connection: the transports close at once, the connections fail
  // later when their checks go unanswered.
  await until('every transport to close', async () => (await Promise.all([0, 3, 4, 5].map(received))).every((r) => r.state.endsWith('/closed')), 2000);
  assert.deepEqual(await post(), { status: 503, answer: 'No cast is live.' });
});

test('a TV that vanishes without a word (switched off) gives its place back', { skip: NO_NETNS }, async () => {
  const tv = await chromium.launchServer({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS });
  await harness.send('writer');
  try {
    const tvPage = await (await chromium.connect(tv.wsEndpoint())).newPage();
    await tvPage.goto(`${harness.url}/api/info`);
    const mine = await Promise.all([1, 2, 3].map(() => post()));
    assert.deepEqual([...mine.map((r) => r.status), (await post(undefined, undefined, tvPage)).status], [201, 201, 201, 201]);
    await until('the TV to receive', async () => (await tvPage.evaluate(() => window.viewers[0].pc.connectionState)) === 'connected');
    process.kill(tv.process().pid, 'SIGKILL');
    await until('its place to be free', async () => (await post()).status === 201, 30000, 1000);
  } finally {
    await harness.send('writer-stop');
    await tv.close().catch(() => {});
  }
});
