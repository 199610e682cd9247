/* Which path plays on this TV, and what each poll of the server changes: the stop counter of
   the menu's "Stop Casting", whether a native cast is live, and the WebRTC offer in the relay.
   Pure: the page passes in the replies and carries out what is decided. */
var Skylark = Skylark || {};
Skylark.poll = (function () {
  'use strict';

  // The native players in order of preference: the cast over WebRTC where this engine has it
  // with H.264 (caps.whep), then the HLS players. "?player=hls" never tries WebRTC, and
  // "?player=webrtc" tries nothing else (benches and tests see its failure instead);
  // "?player=hlsjs" or "?player=native" picks one by hand on a TV where the first choice
  // misbehaves.
  function nativeOrder(caps, search) {
    var wanted = /[?&]player=(\w+)/.exec(search);
    var hls = [];
    if (caps.mse) { hls.push('mse'); }
    if (caps.mse && caps.hlsjs) { hls.push('hlsjs'); }
    if (!caps.mse && caps.nativeHls) { hls.push('native'); }
    var order = (caps.whep ? ['whep'] : []).concat(hls);
    var pick = wanted ? wanted[1] : '';
    if (pick === 'hls') { return hls; }
    if (pick === 'webrtc') { return caps.whep ? ['whep'] : []; }
    return order.indexOf(pick) >= 0 ? [pick] : order;
  }

  function parseJSON(text) {
    try { return JSON.parse(text); } catch (e) { return null; }
  }

  function newState() {
    return {
      lastToken: null,
      lastLive: false,
      nativeDismissed: false,  // the running native cast was stopped here: wait for a new one
      dismissedNewestId: -1,   // the newest segment of the stopped cast seen so far
      answeredOffers: {}       // offers this page has answered (or found answered)
    };
  }

  // One poll, given the replies ({status, body}) of /api/command, /api/live and /api/offer.
  // page says what plays (current(): null or the session, with its path, its offer and the
  // newest segment it reached) and does what is decided: goIdle(), startNative(),
  // watchForNewCast(), and checkOffer(offer), whose promise this returns.
  function step(state, replies, page) {
    var command = parseJSON(replies.command.body);
    var token = command && typeof command.stopToken === 'number' ? command.stopToken : null;
    if (token !== null) {
      if (state.lastToken !== null && token !== state.lastToken) {
        var stopped = page.current();
        state.dismissedNewestId = stopped && stopped.newestId ? stopped.newestId() : -1;
        page.goIdle();
        state.nativeDismissed = true;
      }
      state.lastToken = token;
    }

    var live = replies.live.status === 200 && (parseJSON(replies.live.body) || {}).active === true;
    var current = page.current();
    if (live && !state.lastLive) {
      state.nativeDismissed = false;
      page.startNative();                               // a new native cast takes the screen
    } else if (!live && current !== null && current.path !== 'webrtc') {
      page.goIdle();
    } else if (live && current === null && !state.nativeDismissed) {
      page.startNative();                               // back to it after a WebRTC session
    }
    if (!live) { state.nativeDismissed = false; }
    if (live && state.nativeDismissed) { page.watchForNewCast(); }
    state.lastLive = live;

    var offer = replies.offer.status === 200 ? replies.offer.body : '';
    current = page.current();
    // The sender clears the relay when it stops: the offer we answered is gone, and so is
    // the session (its connection may take many seconds to notice).
    if (current !== null && current.path === 'webrtc' && current.offer !== offer) {
      page.goIdle();
    }
    if (page.canAnswer && offer && !state.answeredOffers[offer]) {
      state.answeredOffers = {};
      state.answeredOffers[offer] = true;
      return page.checkOffer(offer);
    }
  }

  // A new cast can begin within a poll interval of the stop, so /api/live never reads false in
  // between. Segment identifiers restart with every cast: a newest one below what the stopped
  // cast had reached means a new cast. Given the playlist's window (null when there is none),
  // answers whether the page should play again.
  function newCastBegun(state, window_) {
    if (!window_ || !state.nativeDismissed) { return false; }
    if (window_.last < state.dismissedNewestId) {
      state.nativeDismissed = false;
      return true;
    }
    state.dismissedNewestId = window_.last;
    return false;
  }

  return { nativeOrder: nativeOrder, parseJSON: parseJSON, newState: newState, step: step,
           newCastBegun: newCastBegun };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.poll; }
