/* The pure part of playing a segment while it is being written: cutting the arriving bytes into
   fragments the Media Source can take (each moof with its mdat, whatever boxes came before
   them), and the playback rate that holds a small buffer without seeking. */
var Skylark = Skylark || {};
Skylark.stream = (function () {
  'use strict';

  // The page loads the box reader first; Node's tests load each part as a module of its own.
  var boxes = Skylark.boxes || require('./tv-boxes.js');

  // The network hands over bytes in pieces of its own choosing: a piece may end inside a box or
  // hold several fragments. push(bytes) takes the next piece (a Uint8Array) and returns the
  // fragments it completed, each an ArrayBuffer ending with an mdat box; null when the bytes
  // are not boxes at all. finish() says whether the body ended between fragments.
  function Splitter() {
    this.held = new Uint8Array(0);  // bytes not handed out yet
    this.scanned = 0;               // how many of them are whole boxes
    this.broken = false;
  }

  Splitter.prototype.push = function (bytes) {
    if (this.broken) { return null; }
    var held = new Uint8Array(this.held.length + bytes.length);
    held.set(this.held, 0);
    held.set(bytes, this.held.length);
    var view = new DataView(held.buffer);
    var fragments = [];
    var start = 0;
    var offset = this.scanned;
    for (var box = boxes.boxHeader(view, offset, held.length); box;
         box = boxes.boxHeader(view, offset, held.length)) {
      // A box "to the end of the file" (size 0) has no end while the file grows.
      if (box.size < box.header) { this.broken = true; return null; }
      if (offset + box.size > held.length) { break; }
      offset += box.size;
      if (box.type === 'mdat') {
        fragments.push(held.buffer.slice(start, offset));
        start = offset;
      }
    }
    this.held = held.subarray(start);
    this.scanned = offset - start;
    return fragments;
  };

  Splitter.prototype.finish = function () { return !this.broken && this.held.length === 0; };

  // The playback rate that steers the distance behind the newest media (behindS) towards
  // targetS, given the rate now: a few percent faster or slower, never a seek. Inside a small
  // band it plays at normal speed; once nudging, it goes on until the target is reached, so
  // the rate does not flip at the edge of the band.
  var BAND_S = 0.04;
  var MAX_NUDGE = 0.1;

  // In whole percent, so that the rate changes only when the error does.
  function nudge(errorS, most) { return Math.min(most, Math.max(0.02, Math.round(errorS * 30) / 100)); }

  function steer(behindS, targetS, rate) {
    var error = behindS - targetS;
    if (error > BAND_S || (rate > 1 && error > 0)) { return 1 + nudge(error, MAX_NUDGE); }
    if (error < -BAND_S || (rate < 1 && error < 0)) { return 1 - nudge(-error, MAX_NUDGE / 2); }
    return 1;
  }

  // The engine stopped to wait for data while it still had heldS buffered at the playing
  // position: it needs more in hand than the target leaves it (Chromium's audio stops near a
  // tenth of a second, and the buffer still dips by a fragment or two when a frame comes late).
  // The target to hold from then on: clear of that floor by such a dip and the steering band,
  // and above the old one, so that stopping again at the same floor still raises it; never
  // above MOST_TARGET_S. Stopping with nothing in hand is the network's doing, not the
  // engine's: the target stays.
  var FLOOR_MARGIN_S = 0.13;
  var RAISE_S = 0.04;
  var MOST_TARGET_S = 0.5;
  var HELD_S = 0.03;

  function underflowTarget(targetS, heldS) {
    if (!(heldS >= HELD_S)) { return targetS; }
    var raised = Math.max(targetS + RAISE_S, heldS + FLOOR_MARGIN_S);
    return Math.max(targetS, Math.min(MOST_TARGET_S, Math.round(raised * 1000) / 1000));
  }

  // After a quiet spell without such stops, the target comes down a step, but not below what the
  // floor seen at the last of them (floorS, 0 for none) needs nor below baseS: stops that a
  // passing load caused must not raise it for good.
  var RELAX_S = 0.02;

  function relaxedTarget(targetS, floorS, baseS) {
    var least = floorS >= HELD_S ? Math.min(MOST_TARGET_S, floorS + FLOOR_MARGIN_S) : baseS;
    var lowered = Math.round((targetS - RELAX_S) * 1000) / 1000;
    return Math.max(baseS, Math.min(targetS, Math.max(least, lowered)));
  }

  return {
    Splitter: Splitter, steer: steer, underflowTarget: underflowTarget, relaxedTarget: relaxedTarget,
    HELD_S: HELD_S
  };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.stream; }
