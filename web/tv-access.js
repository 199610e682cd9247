/* Whether this TV may watch. The computer gives the TV a key when it first asks; the page keeps
   it and the browser sends it as a cookie with every request (players included), so the TV,
   not its address, is what the person allowed. Pure: the page does the requests and storage. */
var Skylark = Skylark || {};
Skylark.access = (function () {
  'use strict';

  var COOKIE = 'skylark-key';

  // The key in a document.cookie text, or ''.
  function keyInCookies(cookies) {
    var match = /(?:^|;\s*)skylark-key=([0-9a-f]+)/.exec(cookies || '');
    return match ? match[1] : '';
  }

  // What to assign to document.cookie to keep `key` (for about ten years; '' forgets it).
  function cookieFor(key) {
    return COOKIE + '=' + key + '; path=/; max-age=' + (key ? 315360000 : 0) + '; SameSite=Strict';
  }

  // The reply ({status, body}) of POST /api/access as {state, code, key}: state is 'allowed',
  // 'waiting' or 'denied'. A server without the route lets everyone in.
  function read(reply) {
    if (reply.status === 404) { return { state: 'allowed', code: '', key: '' }; }
    var answer = null;
    try { answer = JSON.parse(reply.body); } catch (e) { answer = null; }
    var state = answer && (answer.access === 'allowed' || answer.access === 'denied') ? answer.access : 'waiting';
    return {
      state: reply.status === 200 ? state : 'waiting',
      code: answer && typeof answer.code === 'string' ? answer.code : '',
      key: answer && /^[0-9a-f]+$/.test(answer.key || '') ? answer.key : ''
    };
  }

  // What the idle screen says instead of its hint: null once allowed.
  function message(access) {
    if (access.state === 'allowed') { return null; }
    if (access.state === 'denied') {
      return { title: 'The computer did not allow this TV to watch', code: '',
               detail: 'Reload this page to ask again.' };
    }
    return { title: 'Waiting for the computer to allow this TV', code: access.code,
             detail: 'Choose Allow when Skylark asks on the computer, if it shows this same code. ' +
                     'The picture starts by itself.' };
  }

  return { keyInCookies: keyInCookies, cookieFor: cookieFor, read: read, message: message };
})();
if (typeof module !== 'undefined') { module.exports = Skylark.access; }
