/* The cast over WebRTC from the computer itself (POST /live/whep with the TV's offer, DELETE its
   resource to leave), as far as it is pure: what each event of a session means. The player that
   carries it out is in tv-players.js. */
var Skylark = Skylark || {};
Skylark.whep = (function () {
  'use strict';

  // A session that has its answer but no connection this long after is given up: the HLS
  // player starts within a few seconds of the page asking, whatever the network does.
  var CONNECT_MS = 2000;
  // Played, then no new video packet for this long: the session dropped (the cast stopped, or
  // the computer stopped answering) even if the connection has not noticed yet.
  var STALL_MS = 2000;

  // A session goes 'offering' (until the answer), 'answered' (until connected), 'connected'.
  // Given its phase and an event, returns the next phase, or {leave: reason} when the page
  // should leave it (fall back to HLS, or with ?player=webrtc show the reason). Events:
  // {answer: status, text} the reply to the offer; {connection: state}; {deadline: true}
  // CONNECT_MS after the answer; {stalled: true}; {ended: true} a track ended; {error: text}.
  function next(phase, event) {
    if (event.error) { return { leave: event.error }; }
    if (event.answer !== undefined) {
      if (event.answer === 201) { return 'answered'; }
      var text = (event.text || '').replace(/\s+/g, ' ').slice(0, 120);
      return { leave: 'refused: ' + event.answer + (text ? ' ' + text : '') };
    }
    if (event.connection === 'connected') { return 'connected'; }
    if (event.connection === 'failed' || event.connection === 'closed') { return { leave: 'connection ' + event.connection }; }
    if (event.deadline && phase !== 'connected') { return { leave: 'not connected within ' + CONNECT_MS / 1000 + ' s' }; }
    if (event.stalled && phase === 'connected') { return { leave: 'no media for ' + STALL_MS / 1000 + ' s' }; }
    if (event.ended) { return { leave: 'the computer ended it' }; }
    return phase;
  }

  return { next: next, CONNECT_MS: CONNECT_MS, STALL_MS: STALL_MS };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.whep; }
