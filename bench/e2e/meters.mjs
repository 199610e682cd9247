// What the cast driver and the peers cost: CPU (whole process and by thread) and memory, read
// from /proc.
import { readFileSync, readdirSync } from 'node:fs';
import { monoMs } from './options.mjs';

export function cpuSeconds(pid) {
  const f = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = f.slice(f.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100;   // utime + stime, in ticks of 1/100 s
}
export function memoryMB(pid) {
  const s = readFileSync(`/proc/${pid}/status`, 'utf8');
  const kb = (k) => Number(new RegExp(`${k}:\\s+(\\d+)`).exec(s)?.[1] ?? NaN);
  return { rss: kb('VmRSS') / 1024, peak: kb('VmHWM') / 1024 };
}
// CPU seconds of each thread, by thread name.
export function threadCpu(pid) {
  const out = {};
  for (const tid of readdirSync(`/proc/${pid}/task`)) {
    try {
      const name = readFileSync(`/proc/${pid}/task/${tid}/comm`, 'utf8').trim().replace(/\d+$/, '#');
      out[name] = (out[name] || 0) + cpuSeconds(`${pid}/task/${tid}`);
    } catch { /* the thread ended */ }
  }
  return out;
}
export function cpuMeter(pid) {
  const c0 = cpuSeconds(pid); const t0 = monoMs(); const th0 = threadCpu(pid);
  return () => {
    const s = (monoMs() - t0) / 1000; const th = threadCpu(pid);
    const threads = Object.fromEntries(Object.entries(th).map(([k, v]) => [k, Number(((v - (th0[k] || 0)) / s).toFixed(3))])
      .filter(([, v]) => v >= 0.005).sort((a, b) => b[1] - a[1]));
    return { cpuPerS: (cpuSeconds(pid) - c0) / s, peakMB: memoryMB(pid).peak, threads };
  };
}

// What each of the driver's threads does (names as the kernel keeps them, 15 characters).
export const STAGES = {
  'skylark-grab': 'screen capture + convert', 'threaded-ml': 'sound capture', 'k.capture.video': 'sample hand-over',
  'skylark-writer': 'encode + mux', 'skylark-encode': 'encode, x264 slice workers',
  'skylark-server': 'HTTP server', 'rk.caster.tasks': 'start/stop tasks',
};
