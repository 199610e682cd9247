/* The TV page's one HTTP helper and its clock. XMLHttpRequest, since old TV engines have no
   fetch; only the progressive reader and the last words on leaving use fetch where it exists. */
var Skylark = Skylark || {};
Skylark.http = (function () {
  'use strict';

  function now() { return window.performance && performance.now ? performance.now() : Date.now(); }

  // One request; resolves with {status, body, header(name)} for any HTTP answer and rejects only
  // when the server could not be reached (or did not answer in time). options: binary (an
  // ArrayBuffer body), timeoutMs, body, type (the body's Content-Type).
  function request(method, url, options) {
    options = options || {};
    return new Promise(function (resolve, reject) {
      var xhr = new XMLHttpRequest();
      xhr.open(method, url, true);
      if (options.binary) { xhr.responseType = 'arraybuffer'; }
      if (options.type) { xhr.setRequestHeader('Content-Type', options.type); }
      xhr.timeout = options.timeoutMs || 5000;
      xhr.onload = function () {
        resolve({
          status: xhr.status,
          body: options.binary ? xhr.response : xhr.responseText,
          header: function (name) { return xhr.getResponseHeader(name); }
        });
      };
      xhr.onerror = function () { reject(new Error('network')); };
      xhr.ontimeout = function () { reject(new Error('timeout')); };
      xhr.send(options.body === undefined ? null : options.body);
    });
  }

  // A request sent while the page goes away: an XMLHttpRequest still open then is cancelled,
  // a fetch asked to keep alive is not. Nobody waits for its answer.
  function lastWord(method, url) {
    if (typeof window.fetch === 'function') {
      window.fetch(url, { method: method, keepalive: true, credentials: 'same-origin' })['catch'](function () {});
    } else {
      request(method, url)['catch'](function () {});
    }
  }

  return { now: now, request: request, lastWord: lastWord };
})();
