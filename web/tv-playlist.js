/* Skylark's live playlist, read as far as the TV page needs: the window of segment identifiers
   it lists. */
var Skylark = Skylark || {};
Skylark.playlist = (function () {
  'use strict';

  // {first, last}: the oldest and newest segment the playlist lists, or null when it lists none
  // (the store is empty between casts) or is not a live playlist at all.
  function parse(text) {
    var sequence = /#EXT-X-MEDIA-SEQUENCE:(\d+)/.exec(text);
    var ids = [];
    var pattern = /^segment(\d+)\.m4s$/gm;
    var match;
    while ((match = pattern.exec(text)) !== null) { ids.push(parseInt(match[1], 10)); }
    if (!sequence || ids.length === 0) { return null; }
    return { first: ids[0], last: ids[ids.length - 1] };
  }

  return { parse: parse };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.playlist; }
