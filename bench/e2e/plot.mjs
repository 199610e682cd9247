// The latency-over-time plot, drawn on a canvas in headless Chromium and saved as a PNG (no
// plotting library needed on the machine).
export async function drawPlot(chromium, executablePath, args, paths, file) {
  const series = paths.filter((p) => p.series && p.series.length).map((p) => ({
    name: p.name, points: p.series.map(([t, d]) => [(t - p.series[0][0]) / 1000, d]),
  }));
  const browser = await chromium.launch({ executablePath, headless: true, args });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 640 } });
    await page.setContent('<canvas id="c" width="1280" height="640"></canvas>');
    await page.evaluate((series) => {
      const c = document.getElementById('c');
      const g = c.getContext('2d');
      const W = c.width; const H = c.height;
      const L = 70; const R = 400; const T = 40; const B = 50;
      g.fillStyle = '#fff'; g.fillRect(0, 0, W, H);
      const maxT = Math.max(1, ...series.map((s) => s.points[s.points.length - 1][0]));
      const all = series.flatMap((s) => s.points.map((p) => p[1])).sort((a, b) => a - b);
      // Scale to the 99.5th percentile, so one outlier does not flatten every line.
      const top = Math.max(200, Math.ceil((all[Math.floor(all.length * 0.995)] || 1000) / 250) * 250);
      const x = (t) => L + (t / maxT) * (W - L - R);
      const y = (d) => H - B - (Math.min(d, top) / top) * (H - T - B);
      g.font = '14px sans-serif'; g.fillStyle = '#222';
      g.fillText('Glass-to-glass latency over time (ms)', L, 24);
      g.strokeStyle = '#ddd'; g.lineWidth = 1;
      const step = Math.max(50, Math.ceil(top / 8 / 50) * 50);
      for (let d = 0; d <= top; d += step) {
        g.beginPath(); g.moveTo(L, y(d)); g.lineTo(W - R, y(d)); g.stroke();
        g.fillStyle = '#444'; g.fillText(String(Math.round(d)), 10, y(d) + 5);
      }
      for (let t = 0; t <= maxT; t += maxT > 30 ? 10 : 5) {
        g.fillText(`${t} s`, x(t) - 10, H - B + 20);
      }
      const colours = ['#d62728', '#ff7f0e', '#2ca02c', '#1f77b4', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f'];
      series.forEach((s, i) => {
        g.strokeStyle = colours[i % colours.length]; g.lineWidth = 1.5;
        g.beginPath();
        s.points.forEach(([t, d], j) => (j ? g.lineTo(x(t), y(d)) : g.moveTo(x(t), y(d))));
        g.stroke();
        g.fillStyle = colours[i % colours.length];
        g.fillRect(W - R + 15, T + i * 24, 14, 14);
        g.fillStyle = '#222';
        g.fillText(s.name, W - R + 35, T + i * 24 + 12);
      });
    }, series);
    await (await page.$('#c')).screenshot({ path: file });
  } finally {
    await browser.close();
  }
}
