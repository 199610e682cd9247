/* The TV page's screen: what this browser can do, the idle view and the video, sound and full
   screen (which browsers tie to a key press), screensavers, the remote's keys and the health
   line. current is the playing session ({kind, path, stop(), stats()}) or null; the page's
   sessions set it. */
var Skylark = Skylark || {};
Skylark.screen = (function () {
  'use strict';

  var screen = { current: null };
  var video = document.getElementById('video');
  var idleView = document.getElementById('idle');
  var soundButton = document.getElementById('sound');
  var healthLine = document.getElementById('health');
  var offlineLine = document.getElementById('offline');
  screen.video = video;

  var now = Skylark.http.now;

  // ---- What this browser can do ---------------------------------------------------------------

  // The cast comes over WebRTC only as the H.264 it is encoded in: no second encode.
  function webrtcH264() {
    try {
      var receive = typeof window.RTCPeerConnection === 'function' && window.RTCRtpReceiver &&
        RTCRtpReceiver.getCapabilities && RTCRtpReceiver.getCapabilities('video');
      var codecs = (receive && receive.codecs) || [];
      for (var i = 0; i < codecs.length; i++) {
        if (/^video\/H264$/i.test(codecs[i].mimeType)) { return true; }
      }
    } catch (e) { /* an engine that half has it: not here */ }
    return false;
  }

  var STREAM_TYPE = 'video/mp4; codecs="avc1.640028,mp4a.40.2"';
  var MediaSourceType = window.MediaSource;
  screen.MediaSource = MediaSourceType;
  var caps = {
    webrtc: typeof window.RTCPeerConnection === 'function',
    whep: webrtcH264(),
    mse: !!(MediaSourceType && MediaSourceType.isTypeSupported &&
            MediaSourceType.isTypeSupported(STREAM_TYPE)),
    nativeHls: !!video.canPlayType && video.canPlayType('application/vnd.apple.mpegurl') !== '',
    hlsjs: typeof window.Hls === 'function' && window.Hls.isSupported()
  };
  screen.caps = caps;

  screen.showCapabilities = function () {
    var list = document.getElementById('caps');
    var lines = [];
    if (caps.mse) {
      lines.push(['yes', 'Share Screen works on this TV.']);
    } else if (caps.nativeHls) {
      lines.push(['yes', 'Share Screen works on this TV, a few seconds behind (no Media Source Extensions).']);
    } else {
      lines.push(['no', 'Share Screen does not work in this browser: it cannot play H.264 video streams.']);
    }
    if (caps.webrtc) {
      lines.push(['yes', 'Low Latency Sharing works on this TV.']);
    } else {
      lines.push(['no', 'Low Latency Sharing does not work in this browser (no WebRTC).']);
    }
    list.innerHTML = '';
    for (var i = 0; i < lines.length; i++) {
      var item = document.createElement('li');
      item.className = lines[i][0];
      item.textContent = lines[i][1];
      list.appendChild(item);
    }
  };

  screen.setOffline = function (offline) { offlineLine.hidden = !offline; };

  // Why the cast does not play here, or null.
  screen.showFailure = function (text) {
    var line = document.getElementById('failure');
    line.hidden = text === null;
    line.textContent = text || '';
  };

  // What Skylark.access.message() says while this TV may not watch yet; null once it may.
  screen.showAccess = function (message) {
    document.getElementById('access').hidden = message === null;
    document.getElementById('hint').hidden = message !== null;
    document.getElementById('caps').hidden = message !== null;
    if (message === null) { return; }
    document.getElementById('accessTitle').textContent = message.title;
    document.getElementById('accessCode').textContent = message.code;
    document.getElementById('accessDetail').textContent = message.detail;
  };

  // ---- Screen, sound and the remote -------------------------------------------------------------

  var wakeLock = null;
  var soundOn = false;        // once the viewer asked for sound, later casts start with it

  screen.setMode = function (mode) {
    document.body.setAttribute('data-mode', mode);
    var playing = mode !== 'idle';
    idleView.hidden = playing;
    video.hidden = !playing;
    if (playing) { keepAwake(); } else { releaseWakeLock(); }
    updateSoundPrompt();
  };

  function updateSoundPrompt() {
    var show = screen.current !== null && video.muted;
    soundButton.hidden = !show;
    if (show && document.activeElement !== soundButton) {
      try { soundButton.focus(); } catch (e) { /* not focusable yet */ }
    }
  }

  // Browsers only autoplay muted video; any key, click or OK press is the gesture that lets
  // the sound on (and full screen, which most browsers also tie to a gesture).
  function enableSound() {
    soundOn = true;
    video.muted = false;
    var played = video.play();
    if (played && played['catch']) { played['catch'](function () {}); }
    goFullscreen();
    updateSoundPrompt();
  }

  function goFullscreen() {
    var root = document.documentElement;
    var enter = root.requestFullscreen || root.webkitRequestFullscreen;
    if (!enter || document.fullscreenElement || document.webkitFullscreenElement) { return; }
    try {
      var result = enter.call(root);
      if (result && result['catch']) { result['catch'](function () {}); }
    } catch (e) { /* refused without a gesture: the next key press tries again */ }
  }

  screen.startVideo = function () {
    video.muted = !soundOn;
    var played = video.play();
    if (played && played['catch']) {
      played['catch'](function () {
        // Even sound was refused: fall back to muted, which every browser autoplays.
        if (!video.muted) { video.muted = true; updateSoundPrompt(); video.play()['catch'](function () {}); }
      });
    }
    goFullscreen();
    updateSoundPrompt();
  };

  screen.releaseVideo = function () {
    video.pause();
    video.playbackRate = 1;
    if (video.srcObject) { video.srcObject = null; }
    video.removeAttribute('src');
    try { video.load(); } catch (e) { /* nothing was loaded */ }
  };

  screen.bufferedEnd = function () {
    var b = video.buffered;
    return b.length ? b.end(b.length - 1) : null;
  };

  video.addEventListener('error', function () {
    if (screen.current && screen.current.onMediaError) { screen.current.onMediaError(); }
  });

  // Screensavers: the Wake Lock API where the browser has it (it needs a secure context, so a
  // TV on plain http usually has not); otherwise the playing video itself is what keeps most
  // TV screensavers away.
  function keepAwake() {
    if (wakeLock || !navigator.wakeLock || !navigator.wakeLock.request) { return; }
    navigator.wakeLock.request('screen').then(function (lock) {
      if (screen.current === null) { lock.release(); return; }
      wakeLock = lock;
      lock.addEventListener('release', function () { if (wakeLock === lock) { wakeLock = null; } });
    })['catch'](function () {});
  }

  function releaseWakeLock() {
    if (wakeLock) { var lock = wakeLock; wakeLock = null; lock.release()['catch'](function () {}); }
  }

  document.addEventListener('visibilitychange', function () {
    if (document.visibilityState === 'visible' && screen.current !== null) { keepAwake(); }
  });

  // Keys that show the health line: "i", the remote's Info key and its colour keys.
  var HEALTH_KEYS = { 73: true, 457: true, 403: true, 404: true, 405: true, 406: true };

  document.addEventListener('keydown', function (event) {
    var code = event.keyCode || event.which;
    if (screen.current !== null && video.muted) {
      event.preventDefault();
      enableSound();
      return;
    }
    if (HEALTH_KEYS[code] || event.key === 'i' || event.key === 'Info') {
      toggleHealth();
      return;
    }
    if (screen.current !== null && code === 13) { goFullscreen(); }
  });
  soundButton.addEventListener('click', function (event) { event.stopPropagation(); enableSound(); });
  video.addEventListener('click', function () { if (video.muted) { enableSound(); } else { goFullscreen(); } });

  // ---- Health line ------------------------------------------------------------------------------

  var healthTimer = null;
  var lastFrames = null;

  function toggleHealth() {
    if (healthTimer) {
      clearInterval(healthTimer);
      healthTimer = null;
      healthLine.hidden = true;
      return;
    }
    healthLine.hidden = false;
    lastFrames = null;
    updateHealth();
    healthTimer = setInterval(updateHealth, 1000);
  }

  // Frames actually shown, where the browser can say; else what it decoded.
  var presentedFrames = 0;
  if (video.requestVideoFrameCallback) {
    var countFrame = function () { presentedFrames++; video.requestVideoFrameCallback(countFrame); };
    video.requestVideoFrameCallback(countFrame);
  }

  function decodedFrames() {
    if (video.requestVideoFrameCallback) { return presentedFrames; }
    if (video.getVideoPlaybackQuality) { return video.getVideoPlaybackQuality().totalVideoFrames; }
    if (video.webkitDecodedFrameCount !== undefined) { return video.webkitDecodedFrameCount; }
    return null;
  }

  function updateHealth() {
    var current = screen.current;
    if (current === null) {
      healthLine.textContent = 'idle · ' + (offlineLine.hidden ? 'server reachable' : 'server unreachable');
      return;
    }
    var parts = [current.kind];
    parts.push(video.videoWidth ? video.videoWidth + '×' + video.videoHeight : 'no picture yet');
    var frames = decodedFrames();
    var t = now();
    if (frames !== null && lastFrames) {
      var fps = (frames - lastFrames.frames) * 1000 / Math.max(1, t - lastFrames.time);
      parts.push(fps.toFixed(0) + ' fps');
    }
    lastFrames = frames === null ? null : { frames: frames, time: t };
    current.stats(function (extra) {
      healthLine.textContent = parts.concat(extra).join(' · ');
    });
  }

  return screen;
})();
