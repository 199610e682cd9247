/* How the TV's own player holds its distance behind the newest media, pure: one policy for
   whole segments and one for a segment read while it is written. Each says where to begin in
   the playlist's window, the buffer to hold, when to jump instead of steering, the playback
   rate that steers towards the target, and how the target follows where the engine stops for
   data. */
var Skylark = Skylark || {};
Skylark.steer = (function () {
  'use strict';

  var SEGMENT_S = 0.25;
  var HELD_S = 0.03;            // less in hand than this when the engine stops: nothing held

  function millis(s) { return Math.round(s * 1000) / 1000; }

  // Whole segments: one before the newest to begin with, so that about two are in hand when a
  // new one arrives, half a second behind the newest; their own arrival makes the buffer saw by
  // a quarter of a second, so the rate moves only outside a wide band.
  var whole = {
    name: 'whole',
    TARGET_S: 2 * SEGMENT_S,
    firstId: function (window_) { return Math.max(window_.first, window_.last - 1); },
    jumpS: function () { return 1.25; },
    rate: function (behindS, targetS) {
      if (behindS > targetS + 0.1) { return 1 + Math.min(0.1, (behindS - targetS) * 0.4); }
      return behindS < targetS - 0.15 ? 0.95 : 1;
    },
    // A segment at a time: the engine's own stops for data are not what limits it.
    stopped: function (hold) { return hold; },
    relaxed: function (hold) { return hold; }
  };

  // Reading fragments as they are made: from the newest segment on, a few frames in hand absorb
  // the network's jitter. Within a small band it plays at normal speed; once nudging, it goes on
  // until the target is reached, so the rate does not flip at the edge of the band.
  var BAND_S = 0.04;
  var MAX_NUDGE = 0.1;

  // In whole percent, so that the rate changes only when the error does.
  function nudge(errorS, most) { return Math.min(most, Math.max(0.02, Math.round(errorS * 30) / 100)); }

  // What a policy holds, {targetS, floorS}, changes with the engine's stops for data. One
  // that stopped while it still had heldS buffered at the playing position needs more in hand
  // than the target leaves it (Chromium's audio stops near a tenth of a second, and the buffer
  // still dips by a fragment or two when a frame comes late). The target to hold from then on:
  // clear of that floor by such a dip and the steering band, and above the old one, so that
  // stopping again at the same floor still raises it; never above MOST_TARGET_S. Stopping with
  // nothing in hand is the network's doing, not the engine's: the target stays. After a quiet
  // spell without such stops, the target comes down a step, but not below what the floor seen
  // at the last of them (floorS, 0 for none) needs: stops that a passing load caused must not
  // raise it for good.
  var FLOOR_MARGIN_S = 0.13;
  var RAISE_S = 0.04;
  var RELAX_S = 0.02;
  var MOST_TARGET_S = 0.5;

  var streaming = {
    name: 'streaming',
    TARGET_S: 0.12,
    firstId: function (window_) { return window_.last; },
    jumpS: function (targetS) { return Math.max(0.6, targetS + 0.45); },
    rate: function (behindS, targetS, rate) {
      var error = behindS - targetS;
      if (error > BAND_S || (rate > 1 && error > 0)) { return 1 + nudge(error, MAX_NUDGE); }
      if (error < -BAND_S || (rate < 1 && error < 0)) { return 1 - nudge(-error, MAX_NUDGE / 2); }
      return 1;
    },
    stopped: function (hold, heldS) {
      if (!(heldS >= HELD_S)) { return hold; }
      var raised = Math.max(hold.targetS + RAISE_S, heldS + FLOOR_MARGIN_S);
      return { targetS: Math.max(hold.targetS, Math.min(MOST_TARGET_S, millis(raised))), floorS: heldS };
    },
    relaxed: function (hold) {
      var base = streaming.TARGET_S;
      var least = hold.floorS >= HELD_S ? Math.min(MOST_TARGET_S, hold.floorS + FLOOR_MARGIN_S) : base;
      var lowered = millis(hold.targetS - RELAX_S);
      return { targetS: Math.max(base, Math.min(hold.targetS, Math.max(least, lowered))), floorS: hold.floorS };
    }
  };

  // What to do four times a second once playing, from what is buffered ahead of the playing
  // position and the age of the newest media (seconds), the target and the rate now: {seek}
  // to jump to the target behind the end (only where the engine has data to play there,
  // canSeek), and the rate. Behind the newest is ahead plus age: unlike the buffer alone it
  // does not saw up and down with each arrival.
  function plan(policy, aheadS, ageS, targetS, rate, canSeek) {
    if (aheadS > policy.jumpS(targetS) && canSeek) { return { seek: true, rate: 1 }; }
    if (ageS > 2 * SEGMENT_S) { return { seek: false, rate: 1 }; }   // nothing new: no steering
    return { seek: false, rate: policy.rate(aheadS + ageS, targetS, rate) };
  }

  return { whole: whole, streaming: streaming, plan: plan, HELD_S: HELD_S, SEGMENT_S: SEGMENT_S };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.steer; }
