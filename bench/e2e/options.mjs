// The command line of the end-to-end harness, the browser helpers it shares with the browser
// tests, and the little every part uses (log lines, the monotonic clock, the work folder).
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

export const here = dirname(fileURLToPath(import.meta.url));
export const arg = (name, fallback = null) => {
  const i = process.argv.indexOf(name);
  return i >= 0 ? process.argv[i + 1] : fallback;
};
export const QUICK = process.argv.includes('--quick');
// Parts to run, comma-separated: skylark (both paths' latency), webrtc (the native cast over
// WebRTC: latency, cost per viewer, sync at the page), peers, motion (cost on a full-motion
// screen), sync (audio against video in the served stream), memory (four TV pages, twenty casts),
// long (cycles, endurance), engines (the native path in each browser engine, with skylark; not
// run by default).
export const PARTS = (arg('--only') || 'skylark,webrtc,peers,motion,sync,memory,long').split(',');
export const TAG = arg('--tag', QUICK ? 'quick' : '');
export const named = (base, ext) => `${base}${TAG ? `-${TAG}` : ''}.${ext}`;
export const BUILD = resolve(arg('--build', join(here, '../../build-e2e')));
export const DOCS = resolve(arg('--docs', join(here, '../../docs')));
export const WEB = join(BUILD, 'share/skylark/web');
// Another tree's e2e build (its cast driver and pages), measured first in the same run on the
// Skylark and hls.js players: figures before and after a change, side by side.
export const BASELINE = arg('--baseline') && resolve(arg('--baseline'));
export const MEASURE_S = Number(arg('--seconds', QUICK ? 15 : 60));
// The native WebRTC path's window: long enough in a full run to count its stalls over 0.5 s.
export const WEBRTC_S = Number(arg('--webrtc-seconds', QUICK ? MEASURE_S : 600));
export const ENDURANCE_MIN = process.argv.includes('--no-endurance') || QUICK ? 0 : Number(arg('--endurance-minutes', 10));
export const CYCLES = Number(arg('--cycles', QUICK ? 3 : 20));
export const READER_MIN = Number(arg('--reader-minutes', QUICK ? 1 : 5));
// A JSON file for the own player's trace (player_trace.mjs) and latency samples; with it the
// skylark part measures only that player.
export const TRACE = arg('--trace-player');
export const SCREEN = { w: 1920, h: 1080 };
export const STAMP = { bits: 24, block: 16, top: 8 };

// The browser tests' helpers, which check for their variables on import.
process.env.SKYLARK_HARNESS ||= 'unused';
process.env.SKYLARK_WEB_ROOT ||= WEB;
export const { CHROMIUM, CHROMIUM_ARGS, sleep, until } = await import('../../tests/browser/pages/support.mjs');
export const { chromium } = await import('playwright-core');

export const work = mkdtempSync(join(tmpdir(), 'skylark-e2e-'));
export const log = (...a) => console.log(`[e2e ${new Date().toISOString().slice(11, 19)}]`, ...a);
export const monoMs = () => Number(process.hrtime.bigint()) / 1e6;   // CLOCK_MONOTONIC, as the clock window
