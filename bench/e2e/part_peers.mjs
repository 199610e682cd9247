// The peers part: the ffmpeg command-line tool into HLS (quarter-second fMP4 with and without
// sound, and its default two-second HLS), served by nginx and played by the same TV page.
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { QUICK, log, until } from './options.mjs';
import { cpuMeter } from './meters.mjs';
import { peerBase, peerLive, peerServer, startFfmpegPeer, stop } from './services.mjs';
import { measure, openTv, sourceAge } from './clock_reader.mjs';

export async function runPeers({ env, display, tvBrowser }, results) {
  peerServer();
  // The tool's muxer holds video back until the sound's packets catch up with it, and the
  // sound from PulseAudio arrives late: the same peer without sound shows what that costs it.
  for (const [lowLatency, audio] of [[true, true], [true, false], [false, true]]) {
    const ff = startFfmpegPeer(env, display, peerLive, lowLatency, audio);
    await until('the peer playlist', () => existsSync(join(peerLive, 'stream.m3u8')), 20000, 50);
    const label = (lowLatency ? 'ffmpeg 0.25 s fMP4 + nginx' : 'ffmpeg default HLS (2 s) + nginx') + (audio ? '' : ', no sound');
    const players = lowLatency ? [['hls.js', '?player=hlsjs'], ['Skylark player', '?player=hls']] : [['hls.js', '?player=hlsjs']];
    let first = true;
    for (const [player, query] of players) {
      const page = await openTv(tvBrowser, `${peerBase}/tv.html${query}`);
      try {
        results.paths.push(await measure(page, `${label}, ${player}`, first ? () => cpuMeter(ff.pid) : null));
        if (lowLatency && first) {
          results.breakdown[audio ? 'ffmpeg' : 'ffmpeg, no sound'] = await sourceAge(page, QUICK ? 5 : 10).catch((e) => ({ error: e.message }));
        }
      } catch (e) {
        log(`${label}, ${player} failed: ${e.message} ${ff.errText().slice(-300)}`);
        results.paths.push({ name: `${label}, ${player}`, error: e.message, series: [] });
      }
      first = false;
      await page.close();
    }
    await stop(ff);
  }
}
