// The control channel of one console: numbered, sealed input messages to the
// agent, a ping every two seconds with the round trip it measures, and the
// agent's state reports that switch control on and off.
const SHORTCUT_FLAGS = 0x1c0000;  // Control, Option, Command
const MAX_ROUND_TRIP_S = 3600;
export const SILENCE_LIMIT_S = 6;
export const TEXT = Object.freeze({
  inputUnavailable: 'Input connection unavailable. End and reconnect.',
  shortcutHint: 'Update the remote client to 0.5.0 for keyboard shortcuts.',
  ready: 'Connected · Live video and control ready',
  noControl: 'Live video connected · Enable mouse & keyboard control on the computer',
});

const encoder = new TextEncoder();

export class ControlChannel {
  #link = null;          // { cipher, peer } of the running session
  #tail = Promise.resolve();

  // now(): seconds of a monotonic clock. view: setStatus(text),
  // setMeasurement(text), setAllowed(bool).
  constructor({ now, view }) {
    this.now = now;
    this.view = view;
    this.sequence = 0;
    this.canControl = false;
    this.controlVersion = 2;  // until the agent reports its own; kept across sessions
    this.lastPong = 0;
  }

  start(cipher, peer) {
    this.#link = { cipher, peer };
    this.sequence = 0;
    this.lastPong = 0;
    this.#setAllowed(false);
  }

  // Returns when everything already sent is on the channel, so the caller may
  // close the peer after a final "end".
  stop() {
    this.#link = null;
    this.lastPong = 0;
    this.#setAllowed(false);
    return this.#tail;
  }

  #setAllowed(on) {
    this.canControl = on;
    this.view.setAllowed(on);
  }

  // Filters by what the agent understands, numbers, seals and sends one
  // message. Messages leave in the order they were given.
  send(message) {
    const link = this.#link;
    if (!link) return this.#tail;
    const kind = message.kind;
    if (!this.canControl && kind !== 'end' && kind !== 'ping') return this.#tail;
    if (kind === 'pointer' && message.action === 'hover' && this.controlVersion <= 2) return this.#tail;
    if (kind === 'scroll' && this.controlVersion < 4) return this.#tail;
    if (kind === 'keycode' && this.controlVersion < 4) {
      if (Number.isInteger(message.flags) && message.flags >= 0 && (message.flags & SHORTCUT_FLAGS) !== 0) {
        this.view.setStatus(TEXT.shortcutHint);
        return this.#tail;
      }
      message = { kind: 'key', key: typeof message.key === 'string' ? message.key : '' };
    }
    this.sequence += 1;
    const numbered = { ...message, seq: this.sequence };
    this.#tail = this.#tail.then(async () => {
      let envelope;
      try {
        envelope = await link.cipher.seal(encoder.encode(JSON.stringify(numbered)));
      } catch {
        return;  // lost without a word, like any unsealable message
      }
      if (link.peer.send(envelope) || kind === 'end' || this.#link !== link) return;
      this.#setAllowed(false);
      this.view.setStatus(TEXT.inputUnavailable);
    });
    return this.#tail;
  }

  // Every two seconds while a session runs. True when the agent has been
  // silent too long and the session must end.
  ping() {
    if (!this.#link) return false;
    this.send({ kind: 'ping', token: this.now() });
    return this.lastPong > 0 && this.now() - this.lastPong > SILENCE_LIMIT_S;
  }

  // One opened message from the agent. Only what the agent sends is taken:
  // "state" and "pong"; pings, ends and input kinds are ignored.
  receive(message) {
    if (!this.#link) return;
    if (message.kind === 'state') {
      if (Number.isInteger(message.controlVersion)) this.controlVersion = message.controlVersion;
      this.#setAllowed(message.canControl === true && message.streaming === true);
      this.lastPong = this.now();
      this.view.setStatus(this.canControl ? TEXT.ready : TEXT.noControl);
    } else if (message.kind === 'pong') {
      const token = message.token;
      if (typeof token !== 'number' || !(token >= 0)) return;
      const now = this.now();
      const seconds = now - token;
      // Only a round trip one of our pings could have taken is measured.
      if (!(seconds >= 0 && seconds <= MAX_ROUND_TRIP_S)) return;
      this.lastPong = now;
      this.view.setMeasurement(`Input round trip: ${Math.trunc(seconds * 1000)} ms`);
    }
  }
}
