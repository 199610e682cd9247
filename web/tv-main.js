/* The TV page's sessions: who has the screen (a native cast or a WebRTC sender), answering the
   sender's offer, and the poll of the server that decides between them. */
var Skylark = Skylark || {};
(function () {
  'use strict';

  var POLL_MS = 1000;
  var MAX_BACKOFF_MS = 8000;

  var S = Skylark.screen;
  var H = Skylark.http;
  var pollState = Skylark.poll.newState();

  // ---- Who has the screen ----------------------------------------------------------------------

  function replaceSession(session, mode) {
    S.showFailure(null);
    var old = S.current;
    S.current = session;
    if (old) { old.stop(); }
    S.setMode(mode);
  }

  function goIdle() {
    if (S.current) {
      var old = S.current;
      S.current = null;
      old.stop();
    }
    S.setMode('idle');
  }

  // Plays the native cast with the first player of `order` that can. `before` is the session
  // whose player gave up ({kind, reason, newestId}), for the health line and, when no player
  // is left, the idle screen.
  function startNative(order, before) {
    order = order || Skylark.poll.nativeOrder(S.caps, location.search);
    if (order.length === 0) {
      pollState.nativeDismissed = true;                 // nothing here can play it
      goIdle();
      var reason = before ? before.reason : /[?&]player=webrtc/.test(location.search) && 'no WebRTC with H.264 in this browser';
      if (reason) { S.showFailure('The cast did not play on this TV: ' + reason.replace(/\.$/, '') + '.'); }
      return;
    }
    var which = order[0];
    var players = Skylark.players;
    var player;
    var giveUp = function (reason) {
      if (S.current !== session) { return; }
      if (window.console) { console.warn('Skylark ' + player.kind + ' gave up (' + reason + ')'); }
      startNative(order.slice(1), { kind: player.kind, reason: reason, newestId: session.newestId() });
    };
    if (which === 'whep') {
      player = new players.WhepPlayer(giveUp);
    } else if (which === 'mse') {
      player = new players.LivePlayer(giveUp);
    } else if (which === 'hlsjs') {
      player = new players.HlsJsPlayer();
    } else {
      player = new players.NativeHlsPlayer();
    }
    // The highest segment this cast reached, across the player's own restarts and the players
    // that gave up before: when a new cast begins just before the TV sees a stop, the player
    // may already be on the new one.
    var highestId = before ? before.newestId : -1;
    var session = {
      kind: player.kind,
      path: which,
      stop: function () { player.stop(); },
      stats: function (report) {
        player.stats(function (parts) {
          report(before ? parts.concat(['after ' + before.kind + ' gave up: ' + before.reason]) : parts);
        });
      },
      newestId: function () { highestId = Math.max(highestId, player.newestId()); return highestId; },
      onMediaError: function () {
        if (player.onMediaError) { player.onMediaError(); }
        else if (player.restart) { player.restart('media error'); }
      }
    };
    replaceSession(session, which === 'whep' ? 'webrtc-cast' : 'hls-' + which);
    player.start();
  }

  // ---- Low-latency path: answering the sender's WebRTC offer ---------------------------------

  function answerOffer(offerText) {
    var offer = Skylark.poll.parseJSON(offerText);
    if (!offer || offer.type !== 'offer' || !offer.sdp) { return; }
    // A LAN needs no STUN or TURN: host candidates reach the sender directly.
    var pc = new RTCPeerConnection({ iceServers: [] });
    var stream = null;
    var lostTimer = null;
    var session = {
      kind: 'webrtc',
      path: 'webrtc',
      offer: offerText,
      pc: pc,
      stop: function () {
        clearTimeout(lostTimer);
        clearTimeout(connectTimer);
        pc.close();
        S.releaseVideo();
      },
      stats: function (report) { Skylark.players.webrtcStats(pc, report); }
    };
    pc.ontrack = function (event) {
      if (S.current !== session) { return; }
      if (!stream) {
        stream = event.streams && event.streams[0] ? event.streams[0] : new MediaStream();
        S.video.srcObject = stream;
        S.startVideo();
      }
      if (stream.getTracks().indexOf(event.track) < 0) { stream.addTrack(event.track); }
    };
    pc.addEventListener('connectionstatechange', function () {
      if (S.current === session && (pc.connectionState === 'failed' || pc.connectionState === 'closed')) { goIdle(); }
    });
    pc.addEventListener('iceconnectionstatechange', function () {
      if (S.current !== session) { return; }
      var state = pc.iceConnectionState;
      if (state === 'failed' || state === 'closed') { goIdle(); }
      else if (state === 'disconnected') {
        // Often a passing hiccup on Wi-Fi; give it a few seconds to come back.
        clearTimeout(lostTimer);
        lostTimer = setTimeout(function () {
          if (S.current === session && pc.iceConnectionState !== 'connected' &&
              pc.iceConnectionState !== 'completed') { goIdle(); }
        }, 4000);
      }
    });
    replaceSession(session, 'webrtc');
    // An answer that never leads to a connection (the sender went away meanwhile, or the
    // network blocks it) must not leave the TV on a black screen.
    var connectTimer = setTimeout(function () {
      if (S.current === session && pc.iceConnectionState !== 'connected' &&
          pc.iceConnectionState !== 'completed') { goIdle(); }
    }, 20000);
    pc.addEventListener('iceconnectionstatechange', function () {
      if (pc.iceConnectionState === 'connected' || pc.iceConnectionState === 'completed') {
        clearTimeout(connectTimer);
      }
    });
    pc.setRemoteDescription(offer).then(function () {
      return pc.createAnswer();
    }).then(function (answer) {
      return pc.setLocalDescription(answer);
    }).then(function () {
      // Not trickled: the answer carries every candidate.
      return Skylark.players.gathered(pc, 3000);
    }).then(function () {
      if (S.current !== session) { return; }
      return H.request('POST', '/api/answer', {
        body: JSON.stringify({ type: pc.localDescription.type, sdp: pc.localDescription.sdp })
      });
    })['catch'](function (error) {
      if (window.console) { console.warn('Skylark could not answer the offer: ' + error); }
      if (S.current === session) { goIdle(); }
    });
  }

  // ---- Polling the server ----------------------------------------------------------------------

  function watchForNewCast() {
    H.request('GET', '/live/stream.m3u8').then(function (reply) {
      var window_ = reply.status === 200 ? Skylark.playlist.parse(reply.body) : null;
      if (Skylark.poll.newCastBegun(pollState, window_)) { startNative(); }
    }, function () {});
  }

  var page = {
    canAnswer: S.caps.webrtc,
    current: function () { return S.current; },
    goIdle: goIdle,
    startNative: function () { startNative(); },
    watchForNewCast: watchForNewCast,
    // An offer that already has an answer belongs to another TV (or to this page before a
    // reload): leave that session alone.
    checkOffer: function (offer) {
      return H.request('GET', '/api/answer').then(function (answerReply) {
        if (answerReply.status === 204) { answerOffer(offer); }
      });
    }
  };

  // ---- This TV's key --------------------------------------------------------------------------

  var A = Skylark.access;
  var accessDenied = false;

  function storedKey() {
    try { return window.localStorage ? localStorage.getItem('skylark-key') || '' : ''; } catch (e) { return ''; }
  }

  // Kept twice: the cookie goes with every request; storage brings it back if cookies are cleared.
  function keepKey(key) {
    document.cookie = A.cookieFor(key);
    try {
      if (!window.localStorage) { return; }
      if (key) { localStorage.setItem('skylark-key', key); } else { localStorage.removeItem('skylark-key'); }
    } catch (e) { /* storage refused: the cookie alone carries it */ }
  }

  if (!A.keyInCookies(document.cookie) && storedKey()) { keepKey(storedKey()); }

  // Asks the computer whether this TV may watch; resolves with true once it may.
  function checkAccess() {
    return H.request('POST', '/api/access').then(function (reply) {
      var access = A.read(reply);
      if (access.key) { keepKey(access.key); }
      if (access.state !== 'allowed') { goIdle(); }     // forgotten on the computer, say
      if (access.state === 'denied') {
        keepKey('');                                    // a reload asks afresh
        accessDenied = true;
      }
      S.showAccess(A.message(access));
      return access.state === 'allowed';
    });
  }

  function poll() {
    var replies = {};
    if (S.current && S.current.newestId) { S.current.newestId(); }   // how far it got before a stop
    return checkAccess().then(function (allowed) {
      if (!allowed) { return null; }
      return pollServer(replies);
    });
  }

  function pollServer(replies) {
    return H.request('GET', '/api/command').then(function (reply) {
      replies.command = reply;
      return H.request('GET', '/api/live');
    }).then(function (reply) {
      replies.live = reply;
      return H.request('GET', '/api/offer');
    }).then(function (reply) {
      replies.offer = reply;
      return Skylark.poll.step(pollState, replies, page);
    });
  }

  var failures = 0;

  // About once a second; while the server is unreachable the wait doubles up to a few seconds,
  // and the first answer after that brings the pace back.
  function schedulePoll() {
    var delay = failures === 0 ? POLL_MS : Math.min(MAX_BACKOFF_MS, POLL_MS * Math.pow(2, failures));
    setTimeout(function () {
      poll().then(function () {
        failures = 0;
        S.setOffline(false);
      }, function () {
        failures = Math.min(failures + 1, 8);
        S.setOffline(true);
      }).then(function () {
        if (!accessDenied) { schedulePoll(); }           // told so on the screen; asks on reload
      });
    }, delay);
  }

  if (!window.Promise || !window.JSON) {
    document.getElementById('caps').innerHTML =
      '<li class="no">This TV\'s browser is too old for Skylark. Try another browser on the TV.</li>';
    return;
  }
  S.showCapabilities();
  if (/[?&]from=root/.test(location.search)) {
    document.getElementById('sendLink').hidden = false;
  }
  S.setMode('idle');
  // Leaving ends what plays: a WebRTC session gives its place back to the computer.
  window.addEventListener('pagehide', goIdle);
  poll().then(function () { S.setOffline(false); },
              function () { failures = 1; S.setOffline(true); }).then(function () {
    if (!accessDenied) { schedulePoll(); }
  });
})();
