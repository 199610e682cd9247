/* Skylark's own player of the native path: the live stream through Media Source, followed by
   segment identifier, with a small steered buffer. One appender; what it appends comes from
   one of the two fetchers (tv-fetch.js), and their steering policies are in tv-steer.js. It has
   start(), stop(), stats(report) for the health line and newestId(), the newest segment it has
   reached. */
var Skylark = Skylark || {};
Skylark.live = (function () {
  'use strict';

  var S = Skylark.screen;
  var H = Skylark.http;
  var steer = Skylark.steer;
  var video = S.video;
  var SEGMENT_S = steer.SEGMENT_S;
  var HAVE_FUTURE_DATA = 3;

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
    this.wholeOnly = false;       // reading segments as they are written failed in this cast
    this.fetcher = Skylark.fetchers.create(true);   // until start() picks one
    // What each policy holds ({targetS, floorS}: the floor where the engine last stopped for
    // data); kept across restarts, since it is this engine's own need.
    this.holds = {};
    this.holds[steer.whole.name] = { targetS: steer.whole.TARGET_S, floorS: 0 };
    this.holds[steer.streaming.name] = { targetS: steer.streaming.TARGET_S, floorS: 0 };
    this.onWaiting = null;
    this.kind = 'hls (Skylark player)';
  }

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
    this.lastProgress = { time: -1, at: H.now() };
    this.nudges = 0;
    this.fetcher = Skylark.fetchers.create(this.wholeOnly);
    this.quietSince = H.now();    // the last stop for data, or the last step down of the target

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
    if (!this.started || video.seeking) { return; }
    var b = video.buffered;
    var t = video.currentTime;
    var held = 0;
    for (var i = 0; i < b.length; i++) {
      if (b.start(i) <= t && t < b.end(i)) { held = b.end(i) - t; }
    }
    // The event may come after a fragment that arrived too late: the engine stopped before it.
    if (this.endBefore !== null && this.endBefore - t < held) { held = Math.max(0, this.endBefore - t); }
    var policy = this.fetcher.policy;
    this.holds[policy.name] = policy.stopped(this.holds[policy.name], held);
    this.quietSince = H.now();
  };

  LivePlayer.prototype.hold = function () { return this.holds[this.fetcher.policy.name]; };

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
    H.request('GET', '/live/stream.m3u8').then(function (reply) {
      if (!self.alive(generation)) { return; }
      var window_ = reply.status === 200 ? Skylark.playlist.parse(reply.body) : null;
      if (!window_) { self.later(200, generation, function () { self.loadWindow(generation); }); return; }
      return H.request('GET', '/live/init.mp4', { binary: true }).then(function (init) {
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
        self.next = self.fetcher.policy.firstId(window_);
        self.fetchNext(generation);
      });
    })['catch'](function () {
      if (self.alive(generation)) { self.later(500, generation, function () { self.loadWindow(generation); }); }
    });
  };

  // Follows the segments by identifier: a segment that does not exist yet is asked for again
  // shortly; one that has left the window means we fell behind (or a new cast restarted the
  // identifiers), which the playlist tells apart.
  LivePlayer.prototype.fetchNext = function (generation) {
    var self = this;
    var id = this.next;
    var first = true;
    this.fetcher.get(id, {
      alive: function () { return self.alive(generation); },
      media: function (data) {
        if (first && !self.follows(data)) { return false; }
        first = false;
        self.waitingSince = null;
        self.enqueue({ append: data, media: true });
        return true;
      },
      done: function () {
        self.next = id + 1;
        self.fetchNext(generation);
      },
      missing: function () { self.missing(generation); },
      retry: function () { self.later(500, generation, function () { self.fetchNext(generation); }); },
      unusable: function () {
        self.wholeOnly = true;
        self.fetcher = Skylark.fetchers.create(true);
        self.fetchNext(generation);
      }
    });
  };

  LivePlayer.prototype.missing = function (generation) {
    var self = this;
    if (this.fetcher.serverWaits) {
      this.checkWindow(generation);
      return;
    }
    if (this.waitingSince === null) { this.waitingSince = H.now(); }
    // Longer than two segments without it: look at the window to see where the stream is.
    if (H.now() - this.waitingSince > 2 * SEGMENT_S * 1000) {
      this.waitingSince = H.now();
      this.checkWindow(generation);
      return;
    }
    this.later(this.RETRY_MS, generation, function () { self.fetchNext(generation); });
  };

  LivePlayer.prototype.checkWindow = function (generation) {
    var self = this;
    H.request('GET', '/live/stream.m3u8').then(function (reply) {
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
        self.next = self.fetcher.policy.firstId(window_);
        self.jumped = true;
        self.fetchNext(generation);
      } else {
        self.fetchNext(generation);
      }
    })['catch'](function () {
      if (self.alive(generation)) { self.later(500, generation, function () { self.fetchNext(generation); }); }
    });
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
        if (op.media) { this.edge = { at: H.now() }; }
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
    var policy = this.fetcher.policy;
    var target = this.hold().targetS;
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
    if (H.now() - this.quietSince > this.RELAX_MS) {
      this.quietSince = H.now();
      this.holds[policy.name] = policy.relaxed(this.hold());
    }
    // Not while the engine refills after stopping for data: a seek then only stops it longer.
    var age = this.edge ? (H.now() - this.edge.at) / 1000 : 0;
    var plan = steer.plan(policy, ahead, age, target, video.playbackRate, video.readyState >= HAVE_FUTURE_DATA);
    if (plan.seek) { video.currentTime = end - target; }
    video.playbackRate = plan.rate;

    // Played media is of no use live: keep a little, drop the rest.
    var first = b.start(0);
    if (t - first > this.KEEP_BEHIND_S + 2 && !this.sourceBuffer.updating && this.queue.length < 4) {
      this.enqueue({ from: first, to: t - this.KEEP_BEHIND_S });
    }

    // Stalled with media in hand: nudge forward. Still stuck while segments keep arriving (a
    // segment the browser could not parse can swallow the ones after it): start again cleanly.
    if (t !== this.lastProgress.time) {
      this.lastProgress = { time: t, at: H.now() };
      if (t > 1) { this.failures = 0; }
      this.nudges = 0;
      return;
    }
    var stuckMs = H.now() - this.lastProgress.at;
    var arriving = this.edge !== null && H.now() - this.edge.at < 1000;
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
    if (streamChanged) { this.wholeOnly = false; }     // a new cast: try streaming again
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
    this.fetcher.cancel();
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
      var behind = end - video.currentTime + (H.now() - this.edge.at) / 1000;
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
