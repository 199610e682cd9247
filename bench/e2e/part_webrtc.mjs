// The webrtc part: the native cast over WebRTC (/live/whep, one webrtcbin peer connection per
// viewer) to pages that play it in a <video> with the receiver's playout delay at its minimum,
// as the TV page does: glass-to-glass, and what each viewer costs the cast driver (CPU and
// memory with none, one and four viewers, one HLS page playing throughout).
import { QUICK, SCREEN, STAMP, log, sleep } from './options.mjs';
import { cpuMeter, memoryMB } from './meters.mjs';
import { castAndTimeToLive, stopCast } from './services.mjs';
import { getClockOffset, measure, openTv, readerSource } from './clock_reader.mjs';

// Joins the cast as a TV would: the whole offer after gathering, the answer, a muted <video>.
async function watch() {
  const pc = new RTCPeerConnection();
  pc.addTransceiver('video', { direction: 'recvonly' });
  pc.addTransceiver('audio', { direction: 'recvonly' });
  const video = Object.assign(document.createElement('video'), { id: 'video', muted: true, autoplay: true, srcObject: new MediaStream() });
  document.body.append(video);
  pc.ontrack = ({ track, receiver }) => {
    if ('jitterBufferTarget' in receiver) receiver.jitterBufferTarget = 0; else receiver.playoutDelayHint = 0;
    video.srcObject.addTrack(track);
  };
  await pc.setLocalDescription();
  await new Promise((resolve) => { pc.onicegatheringstatechange = () => pc.iceGatheringState === 'complete' && resolve(); setTimeout(resolve, 1000); });
  const reply = await fetch('/live/whep', { method: 'POST', headers: { 'Content-Type': 'application/sdp' }, body: pc.localDescription.sdp });
  if (reply.status !== 201) return `${reply.status} ${await reply.text()}`;
  await pc.setRemoteDescription({ type: 'answer', sdp: await reply.text() });
  window.pc = pc;
  window.__hlsFatal = [];  // what the reader reports besides the clock
  return 'ok';
}

async function openViewer(browser, base) {
  const page = await browser.newPage({ viewport: { width: 960, height: 540 } });
  await page.goto(`${base}/api/info`);
  const joined = await page.evaluate(watch);
  if (joined !== 'ok') throw new Error(`POST /live/whep: ${joined}`);
  await page.evaluate(`(${readerSource()})(${JSON.stringify({ offset: getClockOffset(), ...STAMP, screenW: SCREEN.w })})`);
  return page;
}

export async function runWebRTC({ cast, base, tvBrowser }, results) {
  await castAndTimeToLive(cast, base);
  const hls = await openTv(tvBrowser, `${base}/tv.html?player=hls`);
  const seconds = QUICK ? 10 : 30;
  const cost = async () => {
    const meter = cpuMeter(cast.pid);
    await sleep(seconds * 1000);
    return { cpuPerS: Number(meter().cpuPerS.toFixed(3)), rssMB: Number(memoryMB(cast.pid).rss.toFixed(1)) };
  };
  const viewers = [];
  try {
    await sleep(3000);
    const none = await cost();
    viewers.push(await openViewer(tvBrowser, base));
    results.paths.push(await measure(viewers[0], 'Skylark native, WebRTC (webrtcbin)', () => cpuMeter(cast.pid)));
    const one = await cost();
    for (let i = 1; i < 4; i++) viewers.push(await openViewer(tvBrowser, base));
    await sleep(3000);
    const four = await cost();
    results.webrtcCost = { seconds, none, one, four };
    log('webrtc cost', JSON.stringify(results.webrtcCost));
  } catch (e) {
    log(`webrtc part failed: ${e.message}`);
    results.paths.push({ name: 'Skylark native, WebRTC (webrtcbin)', error: e.message, series: [] });
  }
  for (const page of [...viewers, hls]) await page.close();
  await stopCast(cast);
}
