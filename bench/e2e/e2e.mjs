// The end-to-end harness: glass-to-glass latency of every path and peer, cost, and endurance.
// Run it through bench/e2e/run, which builds the programs and runs this inside a network
// namespace of its own (the server takes port 8765 there, and WebRTC gathers candidates).
//
// node e2e.mjs --build <build dir> --docs <docs dir> [--quick] [--endurance-minutes N]
//              [--no-endurance] [--cycles N]
//
// Its parts: options.mjs (command line), services.mjs (the programs it starts), meters.mjs
// (CPU and memory), clock_reader.mjs (the clock read back from the playing video), report.mjs,
// and one part_*.mjs per measured part.
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { loadavg } from 'node:os';
import { join } from 'node:path';
import { drawPlot } from './plot.mjs';
import {
  BASELINE, BUILD, CHROMIUM, CHROMIUM_ARGS, CYCLES, DOCS, ENDURANCE_MIN, MEASURE_S, PARTS, QUICK, chromium, log,
  monoMs, named, work,
} from './options.mjs';
import { start, startCast, startPulse, startXvfb, stopAll, stopPeerServer } from './services.mjs';
import { setClockOffset } from './clock_reader.mjs';
import { report } from './report.mjs';
import { runSkylark } from './part_skylark.mjs';
import { runPeers } from './part_peers.mjs';
import { runMotion } from './part_motion.mjs';
import { runSync } from './part_sync.mjs';
import { runWebRTC } from './part_webrtc.mjs';
import { memoryRuns } from './part_memory.mjs';
import { endurance, startStopCycles } from './part_long.mjs';

async function main() {
  const results = { mode: QUICK ? 'quick' : 'full', seconds: MEASURE_S, started: new Date().toISOString(),
    loadBefore: loadavg(), paths: [], cost: {}, breakdown: {}, endurance: null, cycles: null };
  const display = await startXvfb();
  const env = { ...process.env, DISPLAY: display, XDG_RUNTIME_DIR: join(work, 'run'), HOME: join(work, 'home') };
  delete env.WAYLAND_DISPLAY;
  await startPulse(env);
  // The TV browsers here stand for TVs the person trusts: no question on the desktop.
  env.XDG_CONFIG_HOME = join(env.HOME, '.config');
  mkdirSync(join(env.XDG_CONFIG_HOME, 'skylark'), { recursive: true });
  writeFileSync(join(env.XDG_CONFIG_HOME, 'skylark', 'allowed-tvs.conf'), 'ask no\n');
  start(join(BUILD, 'bin/skylark_e2e_clock'), [], { env });
  setClockOffset(Date.now() - monoMs());
  log(`display ${display}, work ${work}`);

  const tvBrowser = await chromium.launch({ executablePath: CHROMIUM, headless: true,
    args: [...CHROMIUM_ARGS, '--autoplay-policy=no-user-gesture-required'] });
  const base = 'http://198.18.0.1:8765';
  if (BASELINE) {
    const before = await startCast(env, join(BASELINE, 'bin/skylark_e2e_cast'), join(BASELINE, 'share/skylark/web'));
    await runSkylark({ cast: before, base, env, display, tvBrowser, label: ' (before)', hlsOnly: true }, results);
    await before.quit();
  }
  const cast = await startCast(env);
  const run = { cast, base, env, display, tvBrowser, label: '' };

  if (PARTS.includes('skylark')) await runSkylark(run, results);
  if (PARTS.includes('webrtc')) await runWebRTC(run, results);
  if (PARTS.includes('peers')) await runPeers(run, results);
  if (PARTS.includes('motion')) await runMotion(run, results);
  await stopPeerServer();
  if (PARTS.includes('sync')) await runSync(run, results);
  if (PARTS.includes('memory')) results.memory = await memoryRuns(cast, base, tvBrowser);

  // The figures so far, written before the long parts.
  mkdirSync(DOCS, { recursive: true });
  const plotName = named('e2e-latency', 'png');
  await drawPlot(chromium, CHROMIUM, CHROMIUM_ARGS, results.paths, join(DOCS, plotName));
  const write = () => {
    results.loadAfter = loadavg();
    const md = report(results, plotName);
    writeFileSync(join(DOCS, named('benchmarks', 'md')), md);
    writeFileSync(join(DOCS, named('benchmarks', 'json')),
      JSON.stringify({ ...results, paths: results.paths.map(({ series, ...rest }) => rest) }, null, 1));
    return md;
  };
  write();

  // -- Cycles and endurance, with the caster again (the cast driver idled meanwhile).
  if (CYCLES > 0 && PARTS.includes('long')) results.cycles = await startStopCycles(cast, base, tvBrowser, CYCLES);
  write();
  if (ENDURANCE_MIN > 0 && PARTS.includes('long')) results.endurance = await endurance(cast, base, tvBrowser, ENDURANCE_MIN);
  await cast.quit();
  await tvBrowser.close();
  console.log(write());
}

process.on('SIGINT', async () => { await stopAll(); process.exit(130); });
try {
  await main();
} catch (e) {
  console.error(e);
  process.exitCode = 1;
} finally {
  setTimeout(() => process.exit(), 10000);   // whatever still hangs on, the run is over
  await stopAll();
  rmSync(work, { recursive: true, force: true });
  process.exit();   // a browser left open after a failure would keep the process alive
}
