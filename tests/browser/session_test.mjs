// The console's session and control-channel rules, with the real cipher and a
// fake service and peer: what reaches the agent, and what the agent's
// messages may change.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { SessionCipher, toBase64 } from '../../web/cipher.js';
import { TEXT } from '../../web/control.js';
import { keyMessage, pictureRect } from '../../web/input.js';
import { Console } from '../../web/session.js';

async function deviceKey() {
  const pair = await crypto.subtle.generateKey({ name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
  const raw = new Uint8Array(await crypto.subtle.exportKey('raw', pair.publicKey));
  return { privateKey: pair.privateKey, publicKey: toBase64(raw) };
}

// A console whose service grants every request and whose peers send at once.
async function harness() {
  const device = await deviceKey();
  const record = { id: 'D1', name: 'Mac', online: true, publicKey: device.publicKey };
  const h = { status: '', measurement: '', allowed: false, requests: [], peers: [], clock: 100 };
  h.console = new Console({
    now: () => h.clock,
    request: async (path, body) => { h.requests.push({ path, body }); return {}; },
    view: {
      setStatus: (t) => { h.status = t; }, setMeasurement: (t) => { h.measurement = t; },
      setAllowed: (on) => { h.allowed = on; }, sessionChanged() {}, release() {}, renewHold() {}, mark() {},
    },
    makePeer: (callbacks) => {
      const peer = { callbacks, sent: [], send: (bytes) => { peer.sent.push(bytes); return true; }, close() {} };
      h.peers.push(peer);
      return peer;
    },
  });
  // Starts a session and returns the agent's cipher for it.
  h.start = async () => {
    await h.console.connect(record);
    const { id, browserKey, salt } = h.requests.findLast((r) => r.path === 'request').body;
    return SessionCipher.create(device.privateKey, browserKey, salt, id);
  };
  h.fromAgent = async (cipher, peer, message) =>
    peer.callbacks.receive(await cipher.seal(new TextEncoder().encode(JSON.stringify(message))));
  h.sentTo = async (cipher, peer) =>
    Promise.all(peer.sent.map(async (bytes) => JSON.parse(new TextDecoder().decode(await cipher.open(bytes)))));
  return h;
}

test('input reaches the agent numbered and filtered by its control level', async () => {
  const pointerHover = { kind: 'pointer', action: 'hover', button: 'left', clicks: 1, x: 0.5, y: 0.5 };
  const scroll = { kind: 'scroll', x: 0, y: -40 };
  const shortcut = { kind: 'keycode', code: 8, flags: 0x100000, key: 'c' };
  const shifted = { kind: 'keycode', code: 0, flags: 0x20000, key: 'A' };
  const cases = [
    // level, messages, what the agent receives (without seq), status afterwards
    [2, [pointerHover, scroll, shifted], [{ kind: 'key', key: 'A' }], TEXT.ready],
    [2, [shortcut], [], TEXT.shortcutHint],
    [3, [pointerHover, scroll], [pointerHover], TEXT.ready],
    [4, [pointerHover, scroll, shortcut], [pointerHover, scroll, shortcut], TEXT.ready],
  ];
  for (const [level, messages, expected, status] of cases) {
    const h = await harness();
    const agent = await h.start();
    const peer = h.peers[0];
    await h.fromAgent(agent, peer, { kind: 'state', canControl: true, streaming: true, controlVersion: level });
    for (const m of messages) h.console.sendInput(m);
    await h.console.control.stop();
    const received = await h.sentTo(agent, peer);
    assert.deepEqual(received.map((m) => m.seq), expected.map((_, i) => i + 1), `level ${level}`);
    assert.deepEqual(received.map(({ seq, ...m }) => m), expected, `level ${level}`);
    assert.equal(h.status, status, `level ${level}`);
  }
});

test('control needs a streaming agent that allows it; pings and the end go regardless', async () => {
  const h = await harness();
  const agent = await h.start();
  const peer = h.peers[0];
  await h.fromAgent(agent, peer, { kind: 'state', canControl: true, streaming: false, controlVersion: 4 });
  assert.equal(h.allowed, false);
  assert.equal(h.status, TEXT.noControl);
  h.console.sendInput({ kind: 'pointer', action: 'down', button: 'left', clicks: 1, x: 0, y: 0 });
  h.console.ping();
  h.console.end();
  await h.console.control.stop();
  assert.deepEqual((await h.sentTo(agent, peer)).map((m) => m.kind), ['ping', 'end']);
});

test('a stale session cannot touch the current one', async () => {
  const h = await harness();
  const first = await h.start();
  h.console.end();
  const second = await h.start();
  const [old, current] = h.peers;
  await h.fromAgent(first, old, { kind: 'state', canControl: true, streaming: true, controlVersion: 4 });
  await h.fromAgent(first, old, { kind: 'pong', token: h.clock - 0.012 });
  old.callbacks.state('closed');
  old.callbacks.signal({ type: 'candidate', candidate: { candidate: 'x' } });
  assert.equal(h.allowed, false);
  assert.equal(h.measurement, '');
  assert.equal(h.console.running, true);
  assert.equal(h.console.outgoing.length, 0);
  // The same messages through the current session do act.
  await h.fromAgent(second, current, { kind: 'pong', token: h.clock - 0.012 });
  assert.equal(h.measurement, 'Input round trip: 12 ms');
});

test('a silent agent ends the session after 6 s, never before its first answer', async () => {
  const h = await harness();
  const agent = await h.start();
  h.clock += 60;
  h.console.ping();
  assert.equal(h.console.running, true);
  await h.fromAgent(agent, h.peers[0], { kind: 'pong', token: h.clock });
  h.clock += 6;
  h.console.ping();
  assert.equal(h.console.running, true);
  h.clock += 0.5;
  h.console.ping();
  assert.equal(h.console.running, false);
  assert.equal(h.status, 'The computer stopped responding. Request access again.');
  assert.ok(h.requests.some((r) => r.path.endsWith('/end')));
});

test('keys become Mac key codes with Mac modifier flags; modifiers alone send nothing', () => {
  const key = (code, key, mods = {}) => keyMessage({ code, key, shiftKey: false, ctrlKey: false, altKey: false,
    metaKey: false, getModifierState: (m) => m === 'CapsLock' && mods.caps === true, ...mods });
  const cases = [
    [key('KeyK', 'k'), { kind: 'keycode', code: 40, flags: 0, key: 'k' }],
    [key('KeyA', 'A', { shiftKey: true }), { kind: 'keycode', code: 0, flags: 0x20000, key: 'A' }],
    [key('KeyC', 'c', { metaKey: true, ctrlKey: true }), { kind: 'keycode', code: 8, flags: 0x140000, key: 'c' }],
    [key('KeyQ', 'œ', { altKey: true }), { kind: 'keycode', code: 12, flags: 0x80000, key: 'œ' }],
    [key('Digit1', '!', { shiftKey: true, caps: true }), { kind: 'keycode', code: 18, flags: 0x30000, key: '!' }],
    [key('Enter', 'Enter'), { kind: 'keycode', code: 36, flags: 0, key: 'Enter' }],
    [key('ArrowDown', 'ArrowDown'), { kind: 'keycode', code: 125, flags: 0, key: 'ArrowDown' }],
    [key('F5', 'F5'), { kind: 'keycode', code: 96, flags: 0, key: '' }],
    [key('ShiftLeft', 'Shift', { shiftKey: true }), null],
    [key('MetaLeft', 'Meta', { metaKey: true }), null],
    [key('AudioVolumeUp', 'AudioVolumeUp'), null],
  ];
  for (const [got, expected] of cases) assert.deepEqual(got, expected);
});

test('the picture is fitted whole and centred; 16:10 until the first frame', () => {
  assert.deepEqual(pictureRect(1600, 1000, 1920, 1080), { x: 0, y: 50, width: 1600, height: 900 });
  assert.deepEqual(pictureRect(1000, 1000, 1280, 720), { x: 0, y: 218.75, width: 1000, height: 562.5 });
  assert.deepEqual(pictureRect(1600, 1200, 0, 0), { x: 0, y: 100, width: 1600, height: 1000 });
});
