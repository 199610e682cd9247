// The TV page's pure parts in Node; the page itself is tested in a browser (tests/browser/pages).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import access from '../../../web/tv-access.js';
import boxes from '../../../web/tv-boxes.js';
import playlist from '../../../web/tv-playlist.js';
import poll from '../../../web/tv-poll.js';
import steer from '../../../web/tv-steer.js';
import whep from '../../../web/tv-whep.js';

const u32 = (n) => [(n >>> 24) & 255, (n >>> 16) & 255, (n >>> 8) & 255, n & 255];
const u64 = (n) => [...u32(Math.floor(n / 2 ** 32)), ...u32(n % 2 ** 32)];
const box = (type, ...body) => [...u32(8 + body.flat().length), ...Buffer.from(type), ...body.flat()];
const full = (version, ...body) => [version, 0, 0, 0, ...body.flat()];
const bytes = (list) => new Uint8Array(list.flat()).buffer;
const zeros = (n) => new Array(n).fill(0);

const track = (id, timescale, v1, entry) => box('trak',
  box('tkhd', full(v1 ? 1 : 0, zeros(v1 ? 16 : 8), u32(id))),
  box('mdia', box('mdhd', full(v1 ? 1 : 0, zeros(v1 ? 16 : 8), u32(timescale))),
    box('minf', box('stbl', box('stsd', full(0, u32(1)), entry)))));
const INIT = box('moov', track(1, 90000, false, box('avc1', zeros(78), box('avcC', [1, 0x64, 0x00, 0x28, 0xff]))),
  track(2, 48000, true, box('mp4a', zeros(28))));
const fragment = (trackId, tfdt) => [box('moof', box('traf', box('tfhd', full(0, u32(trackId))), tfdt)),
  box('mdat', [1, 2, 3])];

test('the init segment gives the codecs and timescales, and a damaged one no exception', () => {
  for (const [init, codecs, timescales] of [
    [INIT, ['avc1.640028', 'mp4a.40.2'], { 1: 90000, 2: 48000 }],
    [INIT.slice(0, 100), [], {}],                                        // cut short
    [box('moov', box('trak', box('tkhd', full(0, zeros(4))))), [], {}],  // tkhd without its track
  ]) assert.deepEqual(boxes.parseInit(bytes(init)), { codecs, timescales });
});

test('a media segment start comes from its first tfdt, in its track timescale', () => {
  const scales = { 1: 90000, 2: 48000 };
  const TRAF = box('traf', box('tfhd', full(0, u32(1))), box('tfdt', full(0, u32(45000))));
  for (const [name, segment, start] of [
    ['version 0', fragment(1, box('tfdt', full(0, u32(180000)))), 2], ['version 1, past 32 bits', fragment(2, box('tfdt', full(1, u64(48000 * 200000)))), 200000],
    ['64-bit box size', [[...u32(1), ...Buffer.from('moof'), ...u64(16 + TRAF.length)], TRAF], 0.5],
    ['not a segment at all', [...Buffer.from('not a media segment, but the store does not know that')], null],
    ['tfdt shorter than its version says', fragment(1, box('tfdt', full(1, u32(7)))), null],
    ['moof longer than the data', fragment(1, box('tfdt', full(0, u32(9)))).flat().slice(0, 30), null],
  ]) assert.equal(boxes.segmentStart(bytes(segment), scales), start, name);
});

test('arriving bytes become whole fragments, however the network cuts them', () => {
  const one = [box('styp', [...Buffer.from('msdh')]), fragment(1, box('tfdt', full(0, u32(9))))].flat(2);
  const two = [...box('moof', box('mfhd', full(0, u32(2)))), ...u32(1), ...Buffer.from('mdat'), ...u64(19), 7, 7, 7];
  const body = [...one, ...two];
  let seed = 7;
  const random = [...Array(12)].map(() => (seed = (seed * 48271) % 2147483647) % body.length).sort((a, b) => a - b);
  for (const [name, cuts, fragments, complete, bytes = body] of [
    ['all at once', [], [one, two], true], ['a byte at a time', body.map((_, i) => i), [one, two], true],
    ['inside the 64-bit size', [one.length + 30, one.length + 36], [one, two], true], ['at random', random, [one, two], true],
    ['cut short', [one.length + 20], [one], false, body.slice(0, -1)],
    ['a box too small to be one', [], null, false, [...one, ...u32(4), ...Buffer.from('free')]],
    ['a box to the end of the file', [], null, false, [...u32(0), ...Buffer.from('mdat'), 1]],
  ]) {
    const splitter = new boxes.Splitter();
    const ends = [...cuts.filter((at) => at < bytes.length), bytes.length];
    const got = ends.map((end, i) => splitter.push(new Uint8Array(bytes.slice(i ? ends[i - 1] : 0, end))));
    assert.deepEqual(got.includes(null) ? null : got.flat().map((f) => [...new Uint8Array(f)]), fragments, name);
    assert.equal(splitter.finish(), complete, name);
  }
});

test('each policy steers the distance behind the newest gently, and jumps only from far behind with data there', () => {
  const [S, W] = [steer.streaming, steer.whole];
  for (const [policy, ahead, age, rate, planned, canSeek = true] of [
    [S, 0.12, 0, 1, 1], [S, 0.05, 0.1, 1, 1], [S, 0.09, 0, 1, 1],       // inside the band: normal speed
    [S, 0.2, 0.1, 1, 1.05], [S, 5, 0, 1, 1.1, false],                 // behind: faster, within bounds
    [S, 0.14, 0, 1.05, 1.02], [S, 0.11, 0, 1.05, 1],                  // catching up goes on until the target
    [S, 0.02, 0, 1, 0.97], [S, 0.10, 0, 0.97, 0.98], [S, 0.13, 0, 0.98, 1], [S, 0.61, 0, 1, 'seek'],
    [S, 0.3, 0.6, 1.05, 1], [W, 0.3, 0.6, 0.95, 1],                  // nothing new arriving: no steering
    [W, 0.25, 0.25, 1, 1], [W, 0.65, 0.1, 1, 1.1], [W, 0.3, 0, 1, 0.95], [W, 1.2, 0, 1, 1.1], [W, 1.3, 0, 1, 'seek'],
  ]) {
    const { seek, rate: steered } = steer.plan(policy, ahead, age, policy.TARGET_S, rate, canSeek);
    assert.equal(seek ? 'seek' : steered, planned, `${policy.name}: ${ahead} s ahead, ${age} s old, at ${rate}`);
  }
  assert.equal(steer.plan(S, 0.61, 0, 0.3, 1, true).seek, false, 'a raised target moves the jump with it');
});

test('the streaming target rises clear of where the engine stops for data; a quiet spell lowers it back', () => {
  const at = (targetS, floorS = 0) => ({ targetS, floorS });
  for (const [target, held, raised] of [
    [0.12, 0.093, 0.223], [0.223, 0.093, 0.263],   // the same floor again still raises it
    [0.12, 0, 0.12], [0.12, 0.01, 0.12], [0.12, NaN, 0.12],   // nothing in hand: the network
    [0.45, 0.4, 0.5], [0.5, 0.1, 0.5],
  ]) assert.equal(steer.streaming.stopped(at(target), held).targetS, raised, `${held} s held at ${target}`);
  for (const [target, floor, relaxed] of [
    [0.4, 0.093, 0.38], [0.23, 0.093, 0.223], [0.223, 0.093, 0.223],   // down to the floor's need
    [0.14, 0, 0.12], [0.12, 0, 0.12], [0.5, 0.45, 0.5],
  ]) assert.equal(steer.streaming.relaxed(at(target, floor)).targetS, relaxed, `${target} over a floor of ${floor}`);
  assert.deepEqual(steer.streaming.relaxed(steer.streaming.stopped(at(0.12), 0.093)), at(0.223, 0.093), 'the floor is kept');
});

test('the playlist gives the window of segment identifiers', () => {
  const live = (first, ids) => '#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n' +
    `#EXT-X-MEDIA-SEQUENCE:${first}\n#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI="init.mp4"\n` +
    ids.map((id) => `#EXTINF:0.250,\nsegment${id}.m4s\n`).join('');
  for (const [text, window] of [[live(40, [40, 41, 42]), { first: 40, last: 42 }], [live(0, []), null], ['Not Found', null],
    ['#EXTM3U\nsegment3.m4s\n', null],                    // no media sequence: not a live window
  ]) assert.deepEqual(playlist.parse(text), window, text);
});

test('the players a TV tries, in order, and what ?player= may pick', () => {
  const [all, rtc] = [{ mse: true, hlsjs: true, nativeHls: true }, { whep: true, mse: true, hlsjs: true }];
  for (const [caps, search, order] of [
    [rtc, '', ['whep', 'mse', 'hlsjs']], [all, '', ['mse', 'hlsjs']],   // WebRTC only with H.264
    [rtc, '?player=hls', ['mse', 'hlsjs']], [rtc, '?player=webrtc', ['whep']], [all, '?player=webrtc', []],
    [{ whep: true, nativeHls: true }, '', ['whep', 'native']], [all, '?player=hlsjs', ['hlsjs']],
    [all, '?from=root&player=native', ['mse', 'hlsjs']],   // cannot pick what this TV lacks
    [{ mse: false, hlsjs: true, nativeHls: true }, '?player=hlsjs', ['native']], [{ mse: false, hlsjs: false, nativeHls: false }, '', []],
  ]) assert.deepEqual(poll.nativeOrder(caps, search), order, search);
});

test('a WebRTC session of the cast is left when refused, not connected in time, failed or dropped', () => {
  for (const [phase, event, next] of [
    ['offering', { answer: 201 }, 'answered'], ['offering', { answer: 400, text: '' }, 'refused: 400'],
    ['offering', { answer: 503, text: 'Every place is taken;\nplay HLS.' }, 'refused: 503 Every place is taken; play HLS.'],
    ['offering', { error: 'WebRTC: no codec' }, 'WebRTC: no codec'], ['answered', { connection: 'connecting' }, 'answered'],
    ['answered', { connection: 'connected' }, 'connected'], ['answered', { deadline: true }, 'not connected within 2 s'],
    ['connected', { deadline: true }, 'connected'], ['connected', { connection: 'failed' }, 'connection failed'],
    ['connected', { connection: 'disconnected' }, 'connected'],   // a hiccup: the stall watch decides
    ['answered', { stalled: true }, 'answered'], ['connected', { stalled: true }, 'no media for 2 s'], ['connected', { ended: true }, 'the computer ended it'],
  ]) assert.equal(whep.next(phase, event).leave ?? whep.next(phase, event), next, `${phase}: ${JSON.stringify(event)}`);
});

// A page double: what plays, and what the poll asked it to do.
const fakePage = (playing, canAnswer = true) => ({
  canAnswer, did: [], playing, current() { return this.playing; },
  goIdle() { this.did.push('idle'); this.playing = null; },
  startNative() { this.did.push('native'); this.playing = { path: 'mse', newestId: () => 0 }; },
  watchForNewCast() { this.did.push('watch'); },
  checkOffer(offer) { this.did.push(`answer ${offer}`); },
});
const reply = (status, body = '') => ({ status, body });
const replies = (token, live, offer = null) => ({ command: reply(200, JSON.stringify({ stopToken: token })),
  live: reply(200, JSON.stringify({ active: live })), offer: offer === null ? reply(204) : reply(200, offer) });
const own = (newest) => ({ path: 'mse', newestId: () => newest });
const webrtc = (offer) => ({ path: 'webrtc', offer });

test('each poll decides from the replies what takes the screen', () => {
  const seen = { lastToken: 3, lastLive: true };
  const rows = [
    // name, state before, playing, replies, what the page does, state after (in part)
    ['a cast begins', {}, null, replies(3, true), ['native'], { lastLive: true }],
    ['the menu stops it: the newest segment reached is kept', seen, own(50), replies(4, true),
      ['idle', 'watch'], { nativeDismissed: true, dismissedNewestId: 50, lastToken: 4 }],
    ['a page opened after a stop does not count it', {}, null, replies(4, true), ['native'], { lastToken: 4 }],
    ['the cast ends', seen, own(9), replies(3, false), ['idle'], { lastLive: false }],
    ['the cast over WebRTC ends with it', seen, { path: 'whep' }, replies(3, false), ['idle'], {}],
    ['a WebRTC session outlives the native cast', { ...seen, answeredOffers: { o1: true } }, webrtc('o1'), replies(3, false, 'o1'), [], {}],
    ['the sender cleared its offer', { lastToken: 3 }, webrtc('o1'), replies(3, false), ['idle'], {}],
    ['back to the native cast after WebRTC', seen, null, replies(3, true), ['native'], {}],
    ['a new offer is checked once', { answeredOffers: { o1: true } }, null, replies(3, false, 'o2'), ['answer o2'], { answeredOffers: { o2: true } }],
    ['an answered offer is left alone', { answeredOffers: { o1: true } }, null, replies(3, false, 'o1'), [], {}],
    ['garbage from the server', seen, own(9), { command: reply(500, '<html>'), live: reply(404, 'x'), offer: reply(500, '') }, ['idle'], { lastToken: 3, lastLive: false }],
  ];
  for (const [name, before, playing, given, did, after] of rows) {
    const state = { ...poll.newState(), ...before };
    const page = fakePage(playing);
    poll.step(state, given, page);
    assert.deepEqual(page.did, did, name);
    for (const key of Object.keys(after)) assert.deepEqual(state[key], after[key], `${name}: ${key}`);
  }
  const page = fakePage(null, false);
  poll.step(poll.newState(), replies(0, false, 'o1'), page);
  assert.deepEqual(page.did, [], 'a TV without WebRTC leaves offers alone');
});

test('a cast restarted right after a stop takes the screen back, the stopped one does not', () => {
  // The ids the watch sees after the stop (null: an empty store), and at which reading the page plays again.
  for (const [seen, resumedAt] of [[[50, 51, 53], -1], [[2, 3], 0], [[null, 1], 1]]) {
    const state = { ...poll.newState(), lastToken: 3, lastLive: true };
    poll.step(state, replies(4, true), fakePage(own(50)));
    assert.equal(seen.findIndex((last) => poll.newCastBegun(state, last === null ? null : { first: 0, last })), resumedAt, `${seen}`);
  }
});

test('the computer\'s answer on access decides what the TV says and which key it keeps', () => {
  const key = 'c0ffee'.repeat(5) + '00';
  const titles = { allowed: null, waiting: 'Waiting for the computer to allow this TV', denied: 'The computer did not allow this TV to watch' };
  for (const [status, body, state, code, kept] of [
    [200, '{"access":"allowed"}', 'allowed', '', ''], [200, '{"access":"denied"}', 'denied', '', ''],
    [200, `{"access":"waiting","code":"0042","key":"${key}"}`, 'waiting', '0042', key],
    [200, '{"access":"waiting","code":"0042","key":"<b>"}', 'waiting', '0042', ''],
    [403, 'Forbidden', 'waiting', '', ''], [200, 'not json', 'waiting', '', ''],   // never let in by an error
    [404, '', 'allowed', '', ''],                                                 // a server without allowing
  ]) {
    const read = access.read({ status, body });
    assert.deepEqual([read.state, read.code, read.key, access.message(read)?.title ?? null], [state, code, kept, titles[state]], body);
  }
  assert.equal(access.message({ state: 'waiting', code: '0042' }).code, '0042');
  for (const [cookies, found] of [['a=1; skylark-key=' + key, key], ['skylark-key=' + key + ';b=2', key],
    ['xskylark-key=ab', ''], ['', ''], [undefined, '']]) assert.equal(access.keyInCookies(cookies), found, cookies);
  assert.match(access.cookieFor(key), new RegExp(`^skylark-key=${key}; path=/; max-age=[1-9]\\d+;`));
  assert.match(access.cookieFor(''), /^skylark-key=; path=\/; max-age=0;/);
});

test('everything the TV page runs but hls.js parses as ECMAScript 5 and calls no bare fetch()', async () => {
  const { parse } = await import('acorn');
  const read = (name) => readFileSync(new URL(`../../../web/${name}`, import.meta.url), 'utf8');
  for (const [name, code] of [...read('tv.html').matchAll(/<script>([\s\S]*?)<\/script>/g)].map((m) => ['tv.html', m[1]])
    .concat(readdirSync(new URL('../../../web/', import.meta.url)).filter((f) => /^tv-.*\.js$/.test(f)).map((f) => [f, read(f)]))) {
    assert.doesNotThrow(() => parse(code, { ecmaVersion: 5 }), name);
    // fetch only as window.fetch, behind a check: a bare call throws where there is none.
    assert.doesNotMatch(code.replace(/\/\*[\s\S]*?\*\/|\/\/.*$/gm, ''), /(?<![.\w])fetch\(/, name);
  }
});
