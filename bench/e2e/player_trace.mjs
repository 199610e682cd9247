// What the TV page's own player does, for lining its stalls up with the network and the buffer
// (e2e.mjs --trace-player SECONDS): installed in the page before its scripts, it records each
// fetch (start, headers, every body chunk, end), each append with the decode time and duration
// of every track it carries, its completion with the buffered ranges, each remove, the video's
// waiting/stalled/seeking/ratechange events, and presented frames more than 60 ms apart. Times
// are the page's Date.now() minus the clock offset (monotonic ms, as the latency samples).
export const TRACE_HOOK = `(() => {
  const log = window.__trace = [];
  const t = () => Math.round((Date.now() - (window.__traceOffset || 0)) * 10) / 10;
  const ranges = (b) => { const r = []; for (let i = 0; i < b.length; i++) r.push([+b.start(i).toFixed(3), +b.end(i).toFixed(3)]); return r; };
  let scales = {};
  // Per track: [id, first decode time s, summed sample duration s, samples].
  function tracks(buf) {
    const v = new DataView(buf instanceof ArrayBuffer ? buf : buf.buffer, buf.byteOffset || 0, buf.byteLength);
    const out = [];
    const walk = (s, e, cur) => {
      let o = s;
      while (o + 8 <= e) {
        const size = v.getUint32(o); const type = v.getUint32(o + 4);
        if (size < 8 || o + size > e) return;
        const body = o + 8;
        if (type === 0x6d6f6f66 || type === 0x74726166) {   // moof, traf
          const c = type === 0x74726166 ? { id: 0, dflt: 0, tfdt: 0, dur: 0, n: 0 } : cur;
          walk(body, o + size, c);
          if (type === 0x74726166) out.push(c);
        } else if (type === 0x74666864) {                    // tfhd
          const f = v.getUint32(body) & 0xffffff; cur.id = v.getUint32(body + 4);
          let p = body + 8; if (f & 1) p += 8; if (f & 2) p += 4; if (f & 8) cur.dflt = v.getUint32(p);
        } else if (type === 0x74666474) {                    // tfdt
          cur.tfdt = v.getUint8(body) === 1 ? v.getUint32(body + 4) * 4294967296 + v.getUint32(body + 8) : v.getUint32(body + 4);
        } else if (type === 0x7472756e) {                    // trun
          const f = v.getUint32(body) & 0xffffff; const n = v.getUint32(body + 4);
          let p = body + 8; if (f & 1) p += 4; if (f & 4) p += 4;
          for (let i = 0; i < n; i++) {
            let d = cur.dflt; if (f & 0x100) { d = v.getUint32(p); p += 4; }
            if (f & 0x200) p += 4; if (f & 0x400) p += 4; if (f & 0x800) p += 4;
            cur.dur += d;
          }
          cur.n += n;
        }
        o += size;
      }
    };
    walk(0, v.byteLength, null);
    return out.map((c) => { const s = scales[c.id] || 90000; return [c.id, +(c.tfdt / s).toFixed(4), +(c.dur / s).toFixed(4), c.n]; });
  }
  const SB = window.SourceBuffer && SourceBuffer.prototype;
  if (SB) {
    const append = SB.appendBuffer; const remove = SB.remove;
    SB.appendBuffer = function (data) {
      const buf = data instanceof ArrayBuffer ? data : data.buffer;
      const head = new DataView(buf, data.byteOffset || 0, 8).getUint32(4);
      if (head === 0x66747970 && window.Skylark && Skylark.boxes) scales = Skylark.boxes.parseInit(buf).timescales;
      if (!this.__traced) {
        this.__traced = true;
        this.addEventListener('updateend', () => { const v = document.getElementById('video'); log.push({ t: t(), e: 'done', ct: v ? +v.currentTime.toFixed(3) : null, b: ranges(this.buffered) }); });
      }
      log.push({ t: t(), e: 'append', n: data.byteLength, k: head === 0x66747970 ? 'init' : tracks(data) });
      return append.apply(this, arguments);
    };
    SB.remove = function (from, to) {
      log.push({ t: t(), e: 'remove', from: +from.toFixed(3), to: +to.toFixed(3) });
      return remove.apply(this, arguments);
    };
  }
  const fetch0 = window.fetch;
  window.fetch = function (url) {
    const u = String(url).replace(/^.*\\/live\\//, '');
    log.push({ t: t(), e: 'fetch', u });
    return fetch0.apply(this, arguments).then((r) => {
      log.push({ t: t(), e: 'head', u, s: r.status });
      if (r.body && r.body.getReader) {
        const get = r.body.getReader.bind(r.body);
        r.body.getReader = () => {
          const rd = get(); const read = rd.read.bind(rd);
          rd.read = () => read().then((c) => { log.push({ t: t(), e: c.done ? 'end' : 'chunk', u, n: c.done ? 0 : c.value.byteLength }); return c; });
          return rd;
        };
      }
      return r;
    });
  };
  const XHR = XMLHttpRequest.prototype; const open = XHR.open; const send = XHR.send;
  XHR.open = function (m, url) { this.__u = String(url).replace(/^.*\\/live\\//, ''); return open.apply(this, arguments); };
  XHR.send = function () {
    const u = this.__u; log.push({ t: t(), e: 'xhr', u });
    this.addEventListener('loadend', () => log.push({ t: t(), e: 'xhrend', u, s: this.status }));
    return send.apply(this, arguments);
  };
  document.addEventListener('DOMContentLoaded', () => {
    const video = document.getElementById('video');
    for (const ev of ['waiting', 'stalled', 'seeking', 'seeked', 'ratechange', 'playing', 'pause']) {
      video.addEventListener(ev, () => log.push({ t: t(), e: ev, ct: +video.currentTime.toFixed(3), r: video.playbackRate, b: ranges(video.buffered) }));
    }
    let last = null;
    const frame = (now, meta) => {
      const at = t();
      if (last !== null && at - last > 60) log.push({ t: at, e: 'gap', ms: Math.round(at - last), mt: +meta.mediaTime.toFixed(3), ct: +video.currentTime.toFixed(3), b: ranges(video.buffered) });
      last = at;
      video.requestVideoFrameCallback(frame);
    };
    video.requestVideoFrameCallback(frame);
  });
})();`;
