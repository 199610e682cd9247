// The report: docs/benchmarks*.md from the figures of a run.
import { STAGES } from './meters.mjs';
import { median } from './clock_reader.mjs';

export function report(r, plotName) {
  const f = (v, d = 0) => (v === null || v === undefined || Number.isNaN(v) ? '–' : Number(v).toFixed(d));
  const lines = [];
  lines.push(`# Skylark end to end: latency, cost, endurance (${r.mode} run)`, '');
  lines.push(`Run ${r.started} with \`bench/e2e/run${r.mode === 'quick' ? ' --quick' : ''}\` on a 2-core Debian 12 machine, ` +
    `Xvfb 1920x1080, headless Chromium as the TV. Load average before ${r.loadBefore.map((x) => x.toFixed(2)).join(' ')}, ` +
    `after ${r.loadAfter.map((x) => x.toFixed(2)).join(' ')} (other work shares these cores: figures are noisy when that is high).`, '');
  lines.push(`## Glass-to-glass latency (${r.seconds} s per path, every presented frame)`, '');
  lines.push('| path / peer | p50 ms | p95 ms | p99 ms | max ms | frames read of presented | player buffer ahead ms | stalls > 0.5 s |');
  lines.push('|---|---|---|---|---|---|---|---|');
  for (const p of r.paths) {
    if (p.error) { lines.push(`| ${p.name} | failed: ${p.error.replace(/\|/g, '/')} | | | | | | |`); continue; }
    lines.push(`| ${p.name} | ${f(p.p50)} | ${f(p.p95)} | ${f(p.p99)} | ${f(p.max)} | ${p.read} of ${f(p.presented)} | ${f(p.aheadMs)} | ${p.stalls} |`);
  }
  lines.push('', `![latency over time](${plotName})`, '');
  lines.push('## Cost while casting 1920x1080 at 30 frames a second (one TV page playing)', '');
  const costName = (p) => p.name.replace(/, (hls\.js|Skylark player)/, '');
  const costs = r.paths.filter((p) => p.cost);
  lines.push('| process, screen | CPU s per s | peak memory MB |', '|---|---|---|');
  for (const p of costs) lines.push(`| ${costName(p)}${p.name.includes('full motion') ? '' : ', clock window'} | ${f(p.cost.cpuPerS, 2)} | ${f(p.cost.peakMB)} |`);
  const cpuOf = (re) => costs.find((p) => re.test(p.name))?.cost.cpuPerS;
  for (const [screen, sk, ff] of [['clock window', /^Skylark native, Skylark player$/, /^ffmpeg 0\.25 s fMP4 \+ nginx, hls\.js$/],
    ['full motion', /^Skylark native.*full motion$/, /^ffmpeg 0\.25 s fMP4.*full motion$/]]) {
    if (cpuOf(sk) && cpuOf(ff)) lines.push('', `Skylark's CPU against the ffmpeg tool's (with sound), ${screen}: ${f(cpuOf(sk) / cpuOf(ff), 2)}x.`);
  }
  for (const p of costs) {
    lines.push('', `CPU s per s by thread, ${costName(p)}: ` + Object.entries(p.cost.threads).map(([k, v]) => `${STAGES[k] ? `${STAGES[k]} (${k})` : k} ${v}`).join(', '));
  }
  lines.push('', `Selection in the picker to the first playable playlist (\`/api/live\` true): ${f((r.selectionToLiveMs || [])[0])} ms` +
    (r.cycles ? `; over ${r.cycles.n} start/stop cycles median ${f(median(r.cycles.toLiveMs))} ms, max ${f(Math.max(...r.cycles.toLiveMs))} ms.` : '.') +
    ` The initialization segment was there after ${f(r.selectionToInitMs)} ms (capture start, first frame, writer start); the rest is the first` +
    ' quarter-second media segment being filled and encoded.', '');
  if (r.webrtcCost || r.webrtcSync || r.hlsPageSync) {
    lines.push('## Share Screen over WebRTC: what each TV costs, picture against sound at the page', '');
    const c = r.webrtcCost;
    if (c) {
      lines.push('| WebRTC viewers (beside one HLS page) | driver CPU s per s | driver resident MB | CPU s per s per viewer | MB per viewer |', '|---|---|---|---|---|');
      for (const w of c.windows) lines.push(`| ${w.viewers} | ${f(w.cpuPerS, 3)} | ${f(w.rssMB, 1)} | ${f(w.cpuPerViewer, 3)} | ${f(w.mbPerViewer, 1)} |`);
      lines.push('', `What the pages played with four viewers (the HLS page first): ${c.modes.join(', ')}.`, '');
    }
    lines.push('The flash-and-beep screen, where the TV plays it: each flash\'s first bright frame when the page shows it ' +
      '(`requestVideoFrameCallback`) against its beep\'s onset when the page\'s sound reaches its own PulseAudio sink ' +
      '(the sink\'s monitor recorded beside the page, each sample timed by its place in the recording), once per player. ' +
      'Picture minus sound; positive: the picture is late, by up to one frame interval by construction.', '');
    for (const [name, y] of [['WebRTC', r.webrtcSync], ['HLS, Skylark player', r.hlsPageSync]]) {
      if (!y) continue;
      lines.push(y.error ? `- ${name}: failed: ${y.error}` :
        `- ${name} (played as ${y.mode}): ${y.offsetsMs.length} pairs (${y.flashes} flashes shown, ${y.beeps} beeps heard); ` +
        `mean ${f(y.meanMs)} ms, worst ${f(y.worstMs)} ms (each: ${y.offsetsMs.join(', ')}).` +
        (y.sound ? ` The receiver's sound: ${y.sound.packets} packets, ${y.sound.discarded} discarded, ${y.sound.concealedPct}% of samples concealed, ` +
          `${y.sound.acceleratedMs} ms squeezed out to catch up, jitter buffer ${y.sound.jitterBufferMs} ms.` : ''));
    }
    lines.push('');
  }
  if (r.memory) {
    const m = r.memory;
    const rd = m.readers;
    lines.push('## Memory of the cast driver', '',
      `Four readers without a browser (two streaming each segment as it is written, two taking whole segments as hls.js ` +
      `does) for ${rd.minutes} min: resident ${f(rd.rssMB[0], 1)} → ${f(rd.rssMB[rd.rssMB.length - 1], 1)} MB, ` +
      `${rd.slopeMBperMin} MB per minute, peak ${f(rd.peakMB)} MB (${rd.segments} segments read).`, '',
      `Peak resident memory while one cast played to four TV pages (two Skylark player, two hls.js): ${f(m.fourPages.peakMB)} MB. ` +
      `Over twenty casts in a row (each played for a second): peak ${f(m.twentyCasts.peakMB)} MB; resident after each stop (MB): ` +
      `${m.twentyCasts.rssAfterMB.join(', ')}. Selection to live in those casts (ms): ${m.twentyCasts.toLiveMs.join(', ')}.`, '');
  }
  lines.push('## Where the native path\'s time goes', '');
  const b = r.breakdown;
  for (const [k, v] of Object.entries(b)) {
    if (v?.error) { lines.push(`- ${k}: ${v.error}`); continue; }
    lines.push(`- ${k}: a segment's first frame is ${f(v.firstFrameAgeMs)} ms old when the segment first shows in the playlist ` +
      `(capture, encode, the segment's own 250 ms, hand-over; median of ${v.segments}); a segment request takes ${f(v.fetchMs)} ms.`);
  }
  lines.push('');
  if (r.cycles) {
    const c = r.cycles;
    lines.push('## Start/stop cycles', '',
      `${c.played} of ${c.n} casts played (a frame stamped after the start reached the TV page). Selection to live: ${c.toLiveMs.join(', ')} ms. ` +
      `Start to first fresh frame on the TV: median ${f(median(c.toFreshFrameMs))} ms. ` +
      `Resident memory after each stop (MB): ${c.rssAfterStopMB.join(', ')}.`, '');
  }
  if (r.endurance) {
    lines.push('## Endurance', '', '| TV pages | minutes | RSS slope MB/min | RSS start → end MB | peak MB | per page: stalls > 0.5 s / hls.js fatal / skipped segment ids / p50 / p99 ms |', '|---|---|---|---|---|---|');
    for (const ph of r.endurance.phases) {
      lines.push(`| ${ph.pages} | ${ph.minutes} | ${ph.slopeMBperMin} | ${ph.rssStartMB} → ${ph.rssEndMB} | ${ph.peakMB} | ` +
        ph.per.map((p) => `${p.mode}: ${p.stallsOver500ms} / ${p.hooked ? p.hlsFatal.length : 'n/a'} / ${p.segmentSkips} / ${f(p.p50)} / ${f(p.p99)}`).join('; ') + ' |');
    }
    lines.push('', `Playlist identifier breaks seen by a 5 Hz poller over the whole cast: ${r.endurance.playlistSequenceBreaks}.`, '');
  } else {
    lines.push('## Endurance', '', 'Not run in this mode (`bench/e2e/run` without `--quick` runs it).', '');
  }
  return lines.join('\n') + '\n';
}
