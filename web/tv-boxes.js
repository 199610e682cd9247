/* The boxes of the fragmented MP4 the stream is made of, read only as far as the TV's own player
   needs: the codecs string and timescales from the initialization segment, each media
   segment's start time, and the fragments of a segment that arrives while it is written. */
var Skylark = Skylark || {};
Skylark.boxes = (function () {
  'use strict';

  // The header of the box at offset, read from the bytes before end: its type, its size (0:
  // "to the end of the file") and the header's length; null while the header is not all there.
  // The one reader of box headers, for the parsers and the splitter below.
  function boxHeader(view, offset, end) {
    if (offset + 8 > end) { return null; }
    var size = view.getUint32(offset);
    var header = 8;
    if (size === 1) {
      if (offset + 16 > end) { return null; }
      size = view.getUint32(offset + 8) * 4294967296 + view.getUint32(offset + 12);
      header = 16;
    }
    var type = String.fromCharCode(view.getUint8(offset + 4), view.getUint8(offset + 5),
                                   view.getUint8(offset + 6), view.getUint8(offset + 7));
    return { type: type, size: size, header: header };
  }

  // Calls visit(type, bodyStart, boxEnd) for each box between start and end; stops at a box
  // that runs past the end, or when visit returns false.
  function readBoxes(view, start, end, visit) {
    var offset = start;
    for (var box = boxHeader(view, offset, end); box; box = boxHeader(view, offset, end)) {
      var size = box.size === 0 ? end - offset : box.size;
      if (size < box.header || offset + size > end) { return; }
      if (visit(box.type, offset + box.header, offset + size) === false) { return; }
      offset += size;
    }
  }

  var CONTAINERS = { moov: 1, trak: 1, mdia: 1, minf: 1, stbl: 1, moof: 1, traf: 1 };

  // A damaged segment must not make the reader throw: every field is read only when its box
  // holds it.
  function fits(at, bytes, boxEnd) { return at + bytes <= boxEnd; }

  // The field after the creation and modification times of a tkhd or mdhd box (track ID or
  // timescale), whose width depends on the box's version.
  function versioned(view, body, boxEnd, otherwise) {
    if (!fits(body, 1, boxEnd)) { return otherwise; }
    var at = body + (view.getUint8(body) === 1 ? 20 : 12);
    return fits(at, 4, boxEnd) ? view.getUint32(at) : otherwise;
  }

  // From the initialization segment: the codecs string for MSE and each track's timescale.
  function parseInit(buffer) {
    var view = new DataView(buffer);
    var codecs = [];
    var timescales = {};
    var trackId = 0;
    function walk(start, end) {
      readBoxes(view, start, end, function (type, body, boxEnd) {
        if (CONTAINERS[type]) { walk(body, boxEnd); }
        else if (type === 'tkhd') { trackId = versioned(view, body, boxEnd, trackId); }
        else if (type === 'mdhd') { timescales[trackId] = versioned(view, body, boxEnd, undefined); }
        else if (type === 'stsd') {
          readBoxes(view, body + 8, boxEnd, function (entry, entryBody, entryEnd) {
            if (entry === 'avc1' || entry === 'avc3') {
              // The avcC box follows the 78 bytes of the visual sample entry.
              readBoxes(view, entryBody + 78, entryEnd, function (inner, innerBody) {
                if (inner !== 'avcC') { return true; }
                if (innerBody + 4 > entryEnd) { return false; }
                var hex = '';
                for (var i = 1; i <= 3; i++) {
                  var b = view.getUint8(innerBody + i).toString(16);
                  hex += b.length < 2 ? '0' + b : b;
                }
                codecs.push(entry + '.' + hex);
                return false;
              });
            } else if (entry === 'mp4a') {
              codecs.push('mp4a.40.2');
            }
          });
        }
      });
    }
    walk(0, view.byteLength);
    return { codecs: codecs, timescales: timescales };
  }

  // The start time (seconds) of a media segment: the first track's decode time in its moof.
  function segmentStart(buffer, timescales) {
    var view = new DataView(buffer);
    var found = null;
    var trackId = 0;
    function walk(start, end) {
      readBoxes(view, start, end, function (type, body, boxEnd) {
        if (found !== null) { return false; }
        if (CONTAINERS[type]) { walk(body, boxEnd); }
        else if (type === 'tfhd') { if (fits(body, 8, boxEnd)) { trackId = view.getUint32(body + 4); } }
        else if (type === 'tfdt') {
          if (!fits(body, 1, boxEnd) || !fits(body, view.getUint8(body) === 1 ? 12 : 8, boxEnd)) { return false; }
          var time = view.getUint8(body) === 1
            ? view.getUint32(body + 4) * 4294967296 + view.getUint32(body + 8)
            : view.getUint32(body + 4);
          found = time / (timescales[trackId] || 90000);
        }
      });
    }
    walk(0, view.byteLength);
    return found;
  }

  // The network hands over bytes in pieces of its own choosing: a piece may end inside a box or
  // hold several fragments. push(bytes) takes the next piece (a Uint8Array) and returns the
  // fragments it completed (each moof with its mdat and whatever boxes came before them), each
  // an ArrayBuffer ending with an mdat box; null when the bytes are not boxes at all. finish()
  // says whether the body ended between fragments.
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
    for (var box = boxHeader(view, offset, held.length); box; box = boxHeader(view, offset, held.length)) {
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

  return { parseInit: parseInit, segmentStart: segmentStart, Splitter: Splitter };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.boxes; }
