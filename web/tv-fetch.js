/* The two ways the TV's own player gets a segment, each with the steering policy that suits it:
   whole once it is written, or fragment by fragment while it is written, where the engine
   hands over a response as it arrives. get(id, sink) asks for one; the sink says whether its
   caller still wants it (alive()) and takes what comes: media(bytes) for each piece in order
   (false: read no further), then done() once the segment is whole; or missing() when it is not
   there (yet), retry() when the server could not be reached, or unusable() when this cast
   cannot be played this way (then whole segments take over). cancel() drops a read under way. */
var Skylark = Skylark || {};
Skylark.fetchers = (function () {
  'use strict';

  var H = Skylark.http;
  var STREAMS = typeof window.fetch === 'function' && typeof window.ReadableStream === 'function';
  function ignore() {}

  function WholeSegments() {
    this.policy = Skylark.steer.whole;
    this.serverWaits = false;   // a segment not written yet is a 404 at once: ask again shortly
  }

  WholeSegments.prototype.get = function (id, sink) {
    H.request('GET', '/live/segment' + id + '.m4s', { binary: true }).then(function (reply) {
      if (!sink.alive()) { return; }
      if (reply.status !== 200) { sink.missing(); return; }
      if (sink.media(reply.body)) { sink.done(); }
    }, function () { if (sink.alive()) { sink.retry(); } });
  };

  WholeSegments.prototype.cancel = ignore;

  // A finished segment comes the same way, all at once. The route waits up to a second for the
  // next segment to begin, so its 404 means that one is not coming: the player looks at the
  // window. A second 404 in a row, a network error or a body cut short: not this way.
  function Progressive() {
    this.policy = Skylark.steer.streaming;
    this.serverWaits = true;
    this.reader = null;
    this.misses = 0;
  }

  Progressive.prototype.get = function (id, sink) {
    var self = this;
    var splitter = new Skylark.boxes.Splitter();
    function unusable() {
      if (!sink.alive()) { return; }
      self.cancel();
      sink.unusable();
    }
    function read(reader) {
      return reader.read().then(function (chunk) {
        if (!sink.alive()) { return; }
        if (chunk.done) {
          self.reader = null;
          if (splitter.finish()) { sink.done(); } else { unusable(); }
          return;
        }
        var fragments = splitter.push(chunk.value);
        if (fragments === null) { unusable(); return; }
        for (var i = 0; i < fragments.length; i++) {
          if (!sink.media(fragments[i])) { return; }
        }
        return read(reader);
      });
    }
    // Engines before 2019 send no cookie, so no key, with fetch unless asked to.
    window.fetch('/live/progressive/segment' + id + '.m4s', { cache: 'no-store', credentials: 'same-origin' }).then(function (response) {
      var body = response.body;
      if (!sink.alive() || response.status !== 200 || !body || !body.getReader) {
        if (body && body.cancel) { body.cancel()['catch'](ignore); }
        if (!sink.alive()) { return; }
        if (response.status !== 404 || ++self.misses > 1) { unusable(); } else { sink.missing(); }
        return;
      }
      self.misses = 0;
      self.reader = body.getReader();
      return read(self.reader);
    })['catch'](unusable);
  };

  Progressive.prototype.cancel = function () {
    if (this.reader) { this.reader.cancel()['catch'](ignore); }
    this.reader = null;
  };

  // Segments as they are written where this engine can read them so, unless that already
  // failed in this cast.
  function create(wholeOnly) { return STREAMS && !wholeOnly ? new Progressive() : new WholeSegments(); }

  return { create: create };
})();
