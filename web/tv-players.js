/* The players of the native path: the cast over WebRTC, Skylark's own HLS player (tv-live.js)
   and, as fallbacks, hls.js and the browser's own HLS. Each has start(), stop(), stats(report)
   for the health line and newestId(), the newest segment it has reached (-1 when it cannot
   say). */
var Skylark = Skylark || {};
Skylark.players = (function () {
  'use strict';

  var S = Skylark.screen;
  var H = Skylark.http;
  var video = S.video;

  // ---- The cast over WebRTC ---------------------------------------------------------------------

  // Asks the computer for the cast over WebRTC and plays it with the receiver's delay at its
  // least. onFatal(reason) once the session is refused, does not connect in time, fails or
  // drops; it has left the session by then.
  function WhepPlayer(onFatal) {
    this.onFatal = onFatal;
    this.kind = 'webrtc (Skylark cast)';
    this.pc = null;
    this.phase = null;
    this.resource = null;       // what to DELETE when leaving
    this.timers = [];
    this.newest = -1;
  }

  WhepPlayer.prototype.start = function () {
    var self = this;
    // A LAN needs no STUN or TURN: the computer answers with its host candidates.
    var pc = new RTCPeerConnection({ iceServers: [] });
    var stream = new MediaStream();
    this.pc = pc;
    this.phase = 'offering';
    pc.addTransceiver('video', { direction: 'recvonly' });
    pc.addTransceiver('audio', { direction: 'recvonly' });
    pc.ontrack = function (event) {
      if (self.pc !== pc) { return; }
      if (event.track.kind === 'video') { leastDelay(event.receiver); }
      // The computer ends a session by closing its DTLS connection: that transport says so at
      // once, long before the connection as a whole notices.
      var transport = event.receiver.transport;
      if (transport && transport.addEventListener) {
        transport.addEventListener('statechange', function () {
          if (transport.state === 'closed' || transport.state === 'failed') { self.on(pc, { connection: transport.state }); }
        });
      }
      stream.addTrack(event.track);
      event.track.addEventListener('ended', function () { self.on(pc, { ended: true }); });
      if (video.srcObject !== stream) {
        video.srcObject = stream;
        S.startVideo();
      }
    };
    // Engines without connectionState say the same through the ICE state.
    pc.addEventListener('connectionstatechange', function () { self.on(pc, { connection: pc.connectionState }); });
    pc.addEventListener('iceconnectionstatechange', function () {
      var ice = pc.iceConnectionState;
      if (pc.connectionState === undefined) { self.on(pc, { connection: ice === 'completed' ? 'connected' : ice }); }
    });
    pc.createOffer().then(function (offer) {
      return pc.setLocalDescription(offer);
    }).then(function () {
      return gathered(pc, 1000);      // not trickled: the offer carries every candidate
    }).then(function () {
      if (self.pc !== pc) { return null; }
      return H.request('POST', '/live/whep', { type: 'application/sdp', body: pc.localDescription.sdp, timeoutMs: 4000 });
    }).then(function (reply) {
      if (!reply) { return; }
      if (self.pc !== pc) {
        // Left while the computer answered: give back the place it has just taken.
        if (reply.status === 201 && reply.header('Location')) { H.lastWord('DELETE', reply.header('Location')); }
        return;
      }
      self.resource = reply.header('Location');
      if (!self.on(pc, { answer: reply.status, text: reply.body })) { return; }
      self.later(Skylark.whep.CONNECT_MS, function () { self.on(pc, { deadline: true }); });
      return pc.setRemoteDescription({ type: 'answer', sdp: reply.body });
    })['catch'](function (error) {
      self.on(pc, { error: 'WebRTC: ' + ((error && error.message) || error) });
    });
  };

  // What a session's event changes (tv-whep.js says); false once the player has left it.
  WhepPlayer.prototype.on = function (pc, event) {
    if (this.pc !== pc) { return false; }
    var next = Skylark.whep.next(this.phase, event);
    if (typeof next === 'string') {
      if (next === 'connected' && this.phase !== 'connected') { this.watch(pc); }
      this.phase = next;
      return true;
    }
    this.stop();
    var onFatal = this.onFatal;
    if (this.phase !== 'connected') {
      onFatal(next.leave);
      return false;
    }
    // A session that dropped because the cast ended: the poll sends the page to idle, rather
    // than to the HLS of a cast that is over.
    H.request('GET', '/api/live').then(function (reply) {
      if (reply.status !== 200 || (Skylark.poll.parseJSON(reply.body) || {}).active === true) { onFatal(next.leave); }
    }, function () { onFatal(next.leave); });
    return false;
  };

  // A session that stops bringing video has dropped, whatever its connection says yet.
  WhepPlayer.prototype.watch = function (pc) {
    var self = this;
    var last = { packets: -1, at: H.now() };
    function check() {
      pc.getStats().then(function (stats) {
        var packets = 0;
        stats.forEach(function (s) {
          if (s.type === 'inbound-rtp' && (s.kind || s.mediaType) === 'video') { packets += s.packetsReceived || 0; }
        });
        if (packets !== last.packets) { last = { packets: packets, at: H.now() }; }
        if (H.now() - last.at >= Skylark.whep.STALL_MS) { self.on(pc, { stalled: true }); }
      })['catch'](function () {}).then(function () {
        if (self.pc === pc) { self.later(500, check); }
      });
    }
    check();
  };

  WhepPlayer.prototype.later = function (ms, fn) { this.timers.push(setTimeout(fn, ms)); };

  WhepPlayer.prototype.stop = function () {
    for (var i = 0; i < this.timers.length; i++) { clearTimeout(this.timers[i]); }
    this.timers = [];
    if (this.pc) { this.pc.close(); }
    this.pc = null;
    // The place is the computer's to give to another TV: say so even while the page goes away.
    if (this.resource) { H.lastWord('DELETE', this.resource); }
    this.resource = null;
    S.releaseVideo();
  };

  WhepPlayer.prototype.stats = function (report) { webrtcStats(this.pc, report); };
  // Segment identifiers come only with HLS, and after a stop they tell the stopped cast from a
  // new one: the playlist is read alongside, once for each poll that asks.
  WhepPlayer.prototype.newestId = function () {
    var self = this;
    H.request('GET', '/live/stream.m3u8').then(function (reply) {
      var window_ = reply.status === 200 ? Skylark.playlist.parse(reply.body) : null;
      if (window_) { self.newest = Math.max(self.newest, window_.last); }
    }, function () {});
    return this.newest;
  };

  // The receiver's own buffer at its least: the network of a home holds little jitter, and
  // the delay is what this path is for. jitterBufferTarget where the engine has it, else the
  // older hint.
  function leastDelay(receiver) {
    try {
      if ('jitterBufferTarget' in receiver) { receiver.jitterBufferTarget = 0; } else { receiver.playoutDelayHint = 0; }
    } catch (e) { /* the engine keeps its own */ }
  }

  function gathered(pc, timeoutMs) {
    return new Promise(function (resolve) {
      if (pc.iceGatheringState === 'complete') { resolve(); return; }
      var timer = setTimeout(resolve, timeoutMs);   // go with what we have
      pc.addEventListener('icegatheringstatechange', function () {
        if (pc.iceGatheringState === 'complete') { clearTimeout(timer); resolve(); }
      });
    });
  }

  // The health line's figures of a WebRTC session: round trip and the video's jitter buffer.
  function webrtcStats(pc, report) {
    if (!pc || !pc.getStats) { report([]); return; }
    pc.getStats().then(function (stats) {
      // In this order whatever order the browser lists its reports in.
      var roundTrip = [];
      var jitter = [];
      stats.forEach(function (s) {
        if (s.type === 'candidate-pair' && s.state === 'succeeded' && s.nominated &&
            typeof s.currentRoundTripTime === 'number') {
          roundTrip.push('round trip ' + Math.round(s.currentRoundTripTime * 1000) + ' ms');
        }
        if (s.type === 'inbound-rtp' && (s.kind || s.mediaType) === 'video' && s.jitterBufferEmittedCount) {
          jitter.push('jitter buffer ' + Math.round(s.jitterBufferDelay / s.jitterBufferEmittedCount * 1000) + ' ms');
        }
      });
      report(roundTrip.concat(jitter));
    })['catch'](function () { report([]); });
  }

  // ---- HLS --------------------------------------------------------------------------------------

  function HlsJsPlayer() { this.hls = null; this.kind = 'hls (hls.js)'; this.retryTimer = null; }

  HlsJsPlayer.prototype.start = function () {
    var self = this;
    var Hls = window.Hls;
    // Tuned for a LAN and quarter-second segments: stay about one target duration behind,
    // catch up by playing faster, and keep almost nothing already played.
    var hls = new Hls({
      liveSyncDuration: 1,
      liveMaxLatencyDuration: 2.5,
      maxLiveSyncPlaybackRate: 1.2,
      backBufferLength: 2,
      maxBufferLength: 4,
      lowLatencyMode: false
    });
    this.hls = hls;
    hls.on(Hls.Events.MANIFEST_PARSED, function () { S.startVideo(); });
    hls.on(Hls.Events.ERROR, function (event, data) {
      if (!data.fatal || self.hls !== hls) { return; }
      if (data.type === Hls.ErrorTypes.MEDIA_ERROR) {
        hls.recoverMediaError();
      } else {
        // Network trouble or anything else: start over shortly on a fresh instance.
        self.stopHls();
        self.retryTimer = setTimeout(function () { self.start(); }, 1000);
      }
    });
    hls.loadSource('/live/stream.m3u8');
    hls.attachMedia(video);
  };

  HlsJsPlayer.prototype.stopHls = function () {
    if (this.hls) { this.hls.destroy(); this.hls = null; }
  };

  HlsJsPlayer.prototype.stop = function () {
    clearTimeout(this.retryTimer);
    this.stopHls();
    S.releaseVideo();
  };

  HlsJsPlayer.prototype.stats = function (report) {
    var latency = this.hls && this.hls.latency;
    report(typeof latency === 'number' && latency > 0 ? [latency.toFixed(2) + ' s behind live'] : []);
  };

  // Its playlist's media sequence numbers are the store's segment identifiers.
  HlsJsPlayer.prototype.newestId = function () {
    var details = this.hls && this.hls.latestLevelDetails;
    return details && typeof details.endSN === 'number' ? details.endSN : -1;
  };

  function NativeHlsPlayer() { this.kind = 'hls (browser)'; this.retryTimer = null; }

  NativeHlsPlayer.prototype.start = function () {
    video.src = '/live/stream.m3u8';
    S.startVideo();
  };
  NativeHlsPlayer.prototype.onMediaError = function () {
    var self = this;
    clearTimeout(this.retryTimer);
    this.retryTimer = setTimeout(function () { self.start(); }, 2000);
  };
  NativeHlsPlayer.prototype.stop = function () { clearTimeout(this.retryTimer); S.releaseVideo(); };
  NativeHlsPlayer.prototype.stats = function (report) {
    var b = video.seekable;
    report(b.length ? [(b.end(b.length - 1) - video.currentTime).toFixed(2) + ' s behind live'] : []);
  };
  NativeHlsPlayer.prototype.newestId = function () { return -1; };

  return {
    WhepPlayer: WhepPlayer,
    webrtcStats: webrtcStats,
    gathered: gathered,
    LivePlayer: Skylark.live.LivePlayer,
    HlsJsPlayer: HlsJsPlayer,
    NativeHlsPlayer: NativeHlsPlayer
  };
})();
