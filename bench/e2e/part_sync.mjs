// The sync part: audio against video in the served stream, the screen flashing as a beep plays.
import { join } from 'node:path';
import { BUILD, QUICK, log, sleep, work } from './options.mjs';
import { castAndTimeToLive, start, stop, stopCast } from './services.mjs';
import { recordStream, measureSync } from './av_sync.mjs';

export async function runSync({ cast, base, env }, results) {
  const scene = start(join(BUILD, 'bin/skylark_e2e_scene'), ['flash'], { env });
  await sleep(1000);
  await castAndTimeToLive(cast, base);
  await sleep(1500);   // past the audio clock's settling
  try {
    const file = join(work, 'sync.mp4');
    const segments = await recordStream(base, QUICK ? 12 : 40, file);
    results.sync = { segments, ...(await measureSync(file)) };
  } catch (e) {
    results.sync = { error: e.message };
  }
  log('audio/video', JSON.stringify(results.sync));
  await stopCast(cast);
  await stop(scene);
}
