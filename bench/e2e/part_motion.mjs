// The motion part: CPU on a screen where every pixel moves, Skylark and the ffmpeg tool (with
// sound).
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { BUILD, log, sleep, until } from './options.mjs';
import { cpuMeter } from './meters.mjs';
import { castAndTimeToLive, peerBase, peerLive, peerServer, start, startFfmpegPeer, stop, stopCast } from './services.mjs';
import { measure, openTv } from './clock_reader.mjs';

export async function runMotion({ cast, base, env, display, tvBrowser }, results) {
  const scene = start(join(BUILD, 'bin/skylark_e2e_scene'), ['motion'], { env });
  await sleep(1500);
  await castAndTimeToLive(cast, base);
  const page = await openTv(tvBrowser, `${base}/tv.html?player=hls`);
  results.paths.push(await measure(page, 'Skylark native, Skylark player, full motion', () => cpuMeter(cast.pid)));
  await page.close();
  await stopCast(cast);
  peerServer();
  const ff = startFfmpegPeer(env, display, peerLive, true, true);
  try {
    await until('the peer playlist', () => existsSync(join(peerLive, 'stream.m3u8')), 20000, 50);
    const peer = await openTv(tvBrowser, `${peerBase}/tv.html?player=hls`);
    results.paths.push(await measure(peer, 'ffmpeg 0.25 s fMP4 + nginx, Skylark player, full motion', () => cpuMeter(ff.pid)));
    await peer.close();
  } catch (e) {
    log(`full-motion peer failed: ${e.message} ${ff.errText().slice(-300)}`);
  }
  await stop(ff);
  await stop(scene);
}
