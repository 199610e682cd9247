/* The players of the native path: Skylark's own (tv-live.js) and, as fallbacks, hls.js and the
   browser's own HLS. Each has start(), stop(), stats(report) for the health line and
   newestId(), the newest segment it has reached (-1 when it cannot say). */
var Skylark = Skylark || {};
Skylark.players = (function () {
  'use strict';

  var S = Skylark.screen;
  var video = S.video;

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
    LivePlayer: Skylark.live.LivePlayer,
    HlsJsPlayer: HlsJsPlayer,
    NativeHlsPlayer: NativeHlsPlayer
  };
})();
