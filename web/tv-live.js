/* Skylark's own player of the native path: the live stream through Media Source, followed by
   segment identifier, with a small steered buffer. It has start(), stop(), stats(report) for the
   health line and newestId(), the newest segment it has reached. */
var Skylark = Skylark || {};
Skylark.live = (function () {
  'use strict';

  var S = Skylark.screen;
  var video = S.video;
  var SEGMENT_S = 0.25;
  var HAVE_FUTURE_DATA = 3;
  // Engines that hand over a response while it arrives can play the segment being written.
  var STREAMS = typeof window.fetch === 'function' && typeof window.ReadableStream === 'function';

  // Plays Skylark's own live stream as close to its newest media as it can: it follows the
  // segments by identifier instead of waiting for playlist updates and steers the playback rate
  // to hold a steady buffer. Where the engine streams responses it reads the segment being
  // written fragment by fragment and holds a tenth of a second or so; elsewhere, or once that
  // failed in this cast, it takes whole segments and holds about two. onFatal(reason) is called
  // when this browser cannot play the stream this way at all.
  function LivePlayer(onFatal) {
    this.onFatal = onFatal;
    this.generation = 0;
    this.failures = 0;          // restarts without having played in between
    this.mediaSource = null;
    this.objectURL = null;
    this.sourceBuffer = null;
    this.queue = [];
    this.timers = [];
    this.watchdog = null;
    this.reader = null;
    this.streaming = STREAMS;
    // Raised where the engine stops for data with media still in hand; kept across restarts,
    // since it is this engine's own need.
    this.streamingTarget = this.STREAMING_TARGET_S;
    this.floorS = 0;              // held when the engine last stopped for data
    this.onWaiting = null;
    this.kind = 'hls (Skylark player)';
  }

  // About two segments in hand when a new one arrives: half a second behind the newest.
  LivePlayer.prototype.TARGET_BEHIND_S = 2 * SEGMENT_S;
  LivePlayer.prototype.JUMP_AHEAD_S = 1.25;              // more buffered than this: jump
  // Reading fragments as they are made: a few frames in hand absorb the network's jitter.
  LivePlayer.prototype.STREAMING_TARGET_S = 0.12;
  LivePlayer.prototype.STREAMING_JUMP_S = 0.6;
  LivePlayer.prototype.RETRY_MS = 40;                    // next segment not there yet
  LivePlayer.prototype.KEEP_BEHIND_S = 3;                // played media kept for seeking back
  LivePlayer.prototype.RELAX_MS = 20000;                 // no stop for data this long: hold less

  LivePlayer.prototype.start = function () {
    this.teardown();
    var generation = ++this.generation;
    var self = this;
    this.next = null;
    this.lastStart = null;
    this.edge = null;             // {at}: when the newest media segment was appended
    this.endBefore = null;        // the buffered end before the newest media was appended
    this.started = false;
    this.waitingSince = null;
    this.lastProgress = { time: -1, at: S.now() };
    this.nudges = 0;
    this.misses = 0;              // progressive requests answered 404 in a row
    this.quietSince = S.now();    // the last stop for data, or the last step down of the target

    var ms = new S.MediaSource();
    this.mediaSource = ms;
    this.objectURL = URL.createObjectURL(ms);
    video.removeAttribute('src');
    video.src = this.objectURL;
    ms.addEventListener('sourceopen', function () {
      if (generation !== self.generation) { return; }
      self.loadWindow(generation);
    });
    this.watchdog = setInterval(function () { self.tick(); }, 250);
    this.onWaiting = function () { self.underflow(); };
    video.addEventListener('waiting', this.onWaiting);
  };

  // The engine stopped for data during playback (not for a seek): hold more from now on if it
  // still had media at the playing position.
  LivePlayer.prototype.underflow = function () {
    if (!this.started || !this.streaming || video.seeking) { return; }
    var b = video.buffered;
    var t = video.currentTime;
    var held = 0;
    for (var i = 0; i < b.length; i++) {
      if (b.start(i) <= t && t < b.end(i)) { held = b.end(i) - t; }
    }
    // The event may come after a fragment that arrived too late: the engine stopped before it.
    if (this.endBefore !== null && this.endBefore - t < held) { held = Math.max(0, this.endBefore - t); }
    this.streamingTarget = Skylark.stream.underflowTarget(this.streamingTarget, held);
    if (held >= Skylark.stream.HELD_S) { this.floorS = held; }
    this.quietSince = S.now();
  };

  LivePlayer.prototype.alive = function (generation) { return generation === this.generation; };

  LivePlayer.prototype.later = function (ms, generation, fn) {
    var self = this;
    var timer = setTimeout(function () {
      self.timers.splice(self.timers.indexOf(timer), 1);
      if (self.alive(generation)) { fn(); }
    }, ms);
    this.timers.push(timer);
  };

  // Playlist (for the window), then the initialization segment, then the newest segments.
  LivePlayer.prototype.loadWindow = function (generation) {
    var self = this;
    S.request('GET', '/live/stream.m3u8').then(function (reply) {
      if (!self.alive(generation)) { return; }
      var window_ = reply.status === 200 ? Skylark.playlist.parse(reply.body) : null;
      if (!window_) { self.later(200, generation, function () { self.loadWindow(generation); }); return; }
      return S.request('GET', '/live/init.mp4', { binary: true }).then(function (init) {
        if (!self.alive(generation)) { return; }
        if (init.status !== 200) { self.later(200, generation, function () { self.loadWindow(generation); }); return; }
        var info = Skylark.boxes.parseInit(init.body);
        var type = 'video/mp4; codecs="' + info.codecs.join(',') + '"';
        if (info.codecs.length === 0 || !S.MediaSource.isTypeSupported(type)) {
          self.fail('unsupported stream ' + type);
          return;
        }
        try {
          self.sourceBuffer = self.mediaSource.addSourceBuffer(type);
        } catch (e) {
          self.fail('addSourceBuffer: ' + e.name);
          return;
        }
        self.timescales = info.timescales;
        self.sourceBuffer.addEventListener('updateend', function () { self.drain(); });
        self.sourceBuffer.addEventListener('error', function () {
          if (self.alive(generation)) { self.restart('append error'); }
        });
        self.enqueue({ append: init.body });
        self.next = self.firstId(window_);
        self.fetchNext(generation);
      });
    })['catch'](function () {
      if (self.alive(generation)) { self.later(500, generation, function () { self.loadWindow(generation); }); }
    });
  };

  // Where to begin in the playlist's window: whole segments one before the newest (two in hand,
  // half a second behind); streaming, the newest, then the one being written.
  LivePlayer.prototype.firstId = function (window_) {
    return this.streaming ? window_.last : Math.max(window_.first, window_.last - 1);
  };

  // Follows the segments by identifier: a segment that does not exist yet is asked for again
  // shortly; one that has left the window means we fell behind (or a new cast restarted the
  // identifiers), which the playlist tells apart.
  LivePlayer.prototype.fetchNext = function (generation) {
    if (this.streaming) {
      this.fetchStreaming(generation);
      return;
    }
    var self = this;
    var id = this.next;
    S.request('GET', '/live/segment' + id + '.m4s', { binary: true }).then(function (reply) {
      if (!self.alive(generation)) { return; }
      if (reply.status === 200) {
        self.waitingSince = null;
        self.accept(generation, reply.body);
        return;
      }
      if (self.waitingSince === null) { self.waitingSince = S.now(); }
      // Longer than two segments without it: look at the window to see where the stream is.
      if (S.now() - self.waitingSince > 2 * SEGMENT_S * 1000) {
        self.waitingSince = S.now();
        self.checkWindow(generation);
        return;
      }
      self.later(self.RETRY_MS, generation, function () { self.fetchNext(generation); });
    })['catch'](function () {
      if (self.alive(generation)) { self.later(500, generation, function () { self.fetchNext(generation); }); }
    });
  };

  LivePlayer.prototype.checkWindow = function (generation) {
    var self = this;
    S.request('GET', '/live/stream.m3u8').then(function (reply) {
      if (!self.alive(generation)) { return; }
      var window_ = reply.status === 200 ? Skylark.playlist.parse(reply.body) : null;
      if (!window_) {
        // The store was emptied: a new cast is starting. Begin again once it has media.
        self.restart('stream restarted', true);
        return;
      }
      if (window_.last < self.next - 1) {
        self.restart('identifiers restarted', true);
      } else if (self.next < window_.first) {
        self.next = self.firstId(window_);
        self.jumped = true;
        self.fetchNext(generation);
      } else {
        self.fetchNext(generation);
      }
    })['catch'](function () {
      if (self.alive(generation)) { self.later(500, generation, function () { self.fetchNext(generation); }); }
    });
  };

  // The segment being written, one fragment at a time as the server makes them (a finished one
  // comes the same way, all at once). The route answering 404 twice in a row, a network error
  // or a body cut short: this segment and the rest of the cast go whole.
  LivePlayer.prototype.fetchStreaming = function (generation) {
    var self = this;
    var id = this.next;
    var splitter = new Skylark.stream.Splitter();
    var first = true;
    var reader = null;
    function wholeSegments() {
      if (!self.alive(generation)) { return; }
      self.dropReader();
      self.streaming = false;
      self.fetchNext(generation);
    }
    function read() {
      return reader.read().then(function (chunk) {
        if (!self.alive(generation)) { return; }
        if (chunk.done) {
          if (!splitter.finish()) { wholeSegments(); return; }
          self.reader = null;
          self.next = id + 1;
          self.fetchNext(generation);
          return;
        }
        var fragments = splitter.push(chunk.value);
        if (fragments === null) { wholeSegments(); return; }
        for (var i = 0; i < fragments.length; i++, first = false) {
          if (first && !self.follows(fragments[i])) { return; }
          self.enqueue({ append: fragments[i], media: true });
        }
        return read();
      });
    }
    // Engines before 2019 send no cookie, so no key, with fetch unless asked to.
    window.fetch('/live/progressive/segment' + id + '.m4s', { cache: 'no-store', credentials: 'same-origin' }).then(function (response) {
      var body = response.body;
      if (!self.alive(generation) || response.status !== 200 || !body || !body.getReader) {
        if (body && body.cancel) { body.cancel()['catch'](function () {}); }
        if (!self.alive(generation)) { return; }
        if (response.status !== 404 || ++self.misses > 1) { wholeSegments(); return; }
        self.checkWindow(generation);    // fell behind the window, or a new cast began
        return;
      }
      self.misses = 0;
      self.waitingSince = null;
      reader = body.getReader();
      self.reader = reader;
      return read();
    })['catch'](wholeSegments);
  };

  LivePlayer.prototype.dropReader = function () {
    if (this.reader) { this.reader.cancel()['catch'](function () {}); }
    this.reader = null;
  };

  // A segment whose time does not follow the previous one belongs to another cast: start again.
  LivePlayer.prototype.follows = function (data) {
    var start = Skylark.boxes.segmentStart(data, this.timescales);
    if (start !== null && this.lastStart !== null && !this.jumped &&
        (start < this.lastStart || start - this.lastStart > 2)) {
      this.restart('timeline restarted', true);
      return false;
    }
    this.jumped = false;
    if (start !== null) { this.lastStart = start; }
    return true;
  };

  LivePlayer.prototype.accept = function (generation, data) {
    if (!this.follows(data)) { return; }
    this.next += 1;
    this.enqueue({ append: data, media: true });
    this.fetchNext(generation);
  };

  LivePlayer.prototype.enqueue = function (op) {
    this.queue.push(op);
    this.drain();
  };

  LivePlayer.prototype.drain = function () {
    var sb = this.sourceBuffer;
    if (!sb || sb.updating || this.queue.length === 0 || this.mediaSource.readyState !== 'open') { return; }
    var op = this.queue.shift();
    try {
      if (op.append) {
        if (op.media) { this.endBefore = S.bufferedEnd(); }
        sb.appendBuffer(op.append);
        if (op.media) { this.edge = { at: S.now() }; }
      } else {
        sb.remove(op.from, op.to);
      }
    } catch (e) {
      if (e.name === 'QuotaExceededError' && op.append) {
        // Full: drop everything already played and try the same segment again.
        this.queue.unshift(op);
        var behind = video.currentTime - 0.5;
        if (behind > 0) { this.queue.unshift({ from: 0, to: behind }); }
        var self = this;
        setTimeout(function () { self.drain(); }, 100);
        return;
      }
      this.restart('append failed: ' + e.name);
    }
  };

  // Four times a second: start playback, hold the distance to the edge, trim, unstick.
  LivePlayer.prototype.tick = function () {
    var end = S.bufferedEnd();
    if (end === null || !this.sourceBuffer) { return; }
    var b = video.buffered;
    var target = this.streaming ? this.streamingTarget : this.TARGET_BEHIND_S;
    if (!this.started) {
      if (end - b.start(b.length - 1) >= Math.min(SEGMENT_S * 0.9, target + 0.05)) {
        this.started = true;
        video.currentTime = Math.max(b.start(b.length - 1), end - target);
        S.startVideo();
      }
      return;
    }
    var t = video.currentTime;
    var ahead = end - t;

    // Sitting in a hole between ranges (after a jump or a lost segment): go to the next range.
    for (var i = 0; i < b.length; i++) {
      if (t < b.start(i) && (i === 0 || t >= b.end(i - 1) - 0.05)) {
        video.currentTime = b.start(i) + 0.01;
        return;
      }
    }
    // How far behind the newest segment we play: what is buffered ahead plus the age of the
    // newest segment. Unlike the buffer alone it does not saw up and down with each arrival.
    var age = this.edge ? (S.now() - this.edge.at) / 1000 : 0;
    var behind = ahead + age;
    // Not while the engine refills after stopping for data: a seek then only stops it longer.
    var jumpS = this.streaming ? Math.max(this.STREAMING_JUMP_S, target + 0.45) : this.JUMP_AHEAD_S;
    if (ahead > jumpS && video.readyState >= HAVE_FUTURE_DATA) {
      video.currentTime = end - target;
      video.playbackRate = 1;
    } else if (age > 2 * SEGMENT_S) {
      video.playbackRate = 1;                          // nothing new arriving: no steering
    } else if (this.streaming) {
      if (S.now() - this.quietSince > this.RELAX_MS) {
        this.quietSince = S.now();
        this.streamingTarget = Skylark.stream.relaxedTarget(target, this.floorS, this.STREAMING_TARGET_S);
      }
      video.playbackRate = Skylark.stream.steer(behind, target, video.playbackRate);
    } else if (behind > this.TARGET_BEHIND_S + 0.1) {
      video.playbackRate = 1 + Math.min(0.1, (behind - this.TARGET_BEHIND_S) * 0.4);
    } else if (behind < this.TARGET_BEHIND_S - 0.15) {
      video.playbackRate = 0.95;
    } else {
      video.playbackRate = 1;
    }

    // Played media is of no use live: keep a little, drop the rest.
    var first = b.start(0);
    if (t - first > this.KEEP_BEHIND_S + 2 && !this.sourceBuffer.updating && this.queue.length < 4) {
      this.enqueue({ from: first, to: t - this.KEEP_BEHIND_S });
    }

    // Stalled with media in hand: nudge forward. Still stuck while segments keep arriving (a
    // segment the browser could not parse can swallow the ones after it): start again cleanly.
    if (t !== this.lastProgress.time) {
      this.lastProgress = { time: t, at: S.now() };
      if (t > 1) { this.failures = 0; }
      this.nudges = 0;
      return;
    }
    var stuckMs = S.now() - this.lastProgress.at;
    var arriving = this.edge !== null && S.now() - this.edge.at < 1000;
    if (stuckMs > 3000 && arriving) {
      this.restart('stalled');
    } else if (stuckMs > 1000 * (this.nudges + 1)) {
      this.nudges++;
      if (ahead > 0.1) { video.currentTime = t + 0.05; }
      S.startVideo();
    }
  };

  // Starts cleanly on a fresh MediaSource. A restart because the stream itself restarted is no
  // fault of this browser; repeated ones without any playback in between are.
  LivePlayer.prototype.restart = function (reason, streamChanged) {
    var self = this;
    if (!streamChanged && ++this.failures > 3) {
      this.fail(reason);
      return;
    }
    if (streamChanged) { this.streaming = STREAMS; }   // a new cast: try streaming again
    var generation = ++this.generation;
    this.teardown();
    var delay = streamChanged ? 100 : 500;
    setTimeout(function () { if (self.generation === generation) { self.start(); } }, delay);
  };

  LivePlayer.prototype.fail = function (reason) {
    this.stop();
    this.onFatal(reason);
  };

  LivePlayer.prototype.teardown = function () {
    clearInterval(this.watchdog);
    this.watchdog = null;
    if (this.onWaiting) { video.removeEventListener('waiting', this.onWaiting); }
    this.onWaiting = null;
    this.dropReader();
    for (var i = 0; i < this.timers.length; i++) { clearTimeout(this.timers[i]); }
    this.timers = [];
    this.queue = [];
    this.sourceBuffer = null;
    if (this.objectURL) {
      URL.revokeObjectURL(this.objectURL);
      this.objectURL = null;
    }
    this.mediaSource = null;
  };

  LivePlayer.prototype.stop = function () {
    this.generation++;
    this.teardown();
    S.releaseVideo();
  };

  LivePlayer.prototype.stats = function (report) {
    var end = S.bufferedEnd();
    var parts = [];
    if (end !== null && this.edge) {
      // Behind live: what is buffered ahead, plus how long ago the newest media arrived.
      var behind = end - video.currentTime + (S.now() - this.edge.at) / 1000;
      parts.push(behind.toFixed(2) + ' s behind live');
    }
    parts.push('rate ' + video.playbackRate.toFixed(2));
    report(parts);
  };

  LivePlayer.prototype.newestId = function () {
    return typeof this.next === 'number' ? this.next - 1 : -1;
  };

  return { LivePlayer: LivePlayer };
})();
