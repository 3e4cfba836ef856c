// The technician's side of a support session: the access request, the poll
// cycle that relays sealed signals through the service, and the end. Every
// asynchronous step remembers the session id and epoch it began with and
// stops if the console has moved on, so a late answer never touches a newer
// session.
import { generateSessionKey, randomBytes, SessionCipher, toBase64 } from './cipher.js';
import { ControlChannel } from './control.js';
import { describeError } from './errors.js';
import { isObject, request as serviceRequest } from './service.js';

const MAX_OUTGOING = 128;
const MAX_SEEN = 512;
const SIGNALS_PER_POST = 8;
export const TEXT = Object.freeze({
  waiting: 'Waiting for the person at the computer to approve and choose a display…',
  connectionEnded: 'Connection ended. Request a new approved session.',
  silent: 'The computer stopped responding. Request access again.',
});

export class Console {
  // view: setStatus, setMeasurement, setAllowed, sessionChanged(session|null),
  // release(), renewHold(), mark(step). makePeer({signal, receive, state,
  // mark}) builds the real-time peer. now(): monotonic seconds.
  constructor({ view, makePeer, now = () => performance.now() / 1000, request = serviceRequest }) {
    this.view = view;
    this.makePeer = makePeer;
    this.now = now;
    this.request = request;
    this.control = new ControlChannel({ now, view });
    this.sid = '';
    this.epoch = 0;
    this.busy = false;
    this.nextServicePoll = 0;
    this.cipher = null;
    this.peer = null;
    this.outgoing = [];
    this.seen = new Set();
    this.requesting = false;
  }

  get running() { return this.sid !== ''; }

  // Requests access to one device record of the list.
  async connect(device) {
    if (this.sid || this.requesting) return;
    if (typeof device?.id !== 'string' || typeof device?.publicKey !== 'string') return;
    const session = crypto.randomUUID().toUpperCase();
    const salt = toBase64(randomBytes(16));
    let key;
    let cipher;
    try {
      key = await generateSessionKey();
      cipher = await SessionCipher.create(key.privateKey, device.publicKey, salt, session);
    } catch (error) {
      this.view.setStatus(describeError(error));
      return;
    }
    const startEpoch = this.epoch;
    this.requesting = true;
    try {
      await this.request('request', { id: session, device: device.id, browserKey: key.publicKey, salt });
    } catch (error) {
      this.view.setStatus(describeError(error));
      return;
    } finally {
      this.requesting = false;
    }
    if (this.epoch !== startEpoch || this.sid) {
      // Signed out meanwhile: leave no request waiting that nobody follows.
      this.request(`session/${session}/end`, {}).catch(() => {});
      return;
    }
    this.sid = session;
    this.nextServicePoll = 0;
    this.cipher = cipher;
    this.seen = new Set();
    this.outgoing = [];
    const epoch = ++this.epoch;
    const current = () => this.epoch === epoch;
    this.peer = this.makePeer({
      signal: (message) => { if (current()) this.queueSignal(message); },
      receive: (bytes) => this.receive(bytes, epoch),
      state: (word) => {
        if (!current() || word !== 'closed') return;
        this.end();
        this.view.setStatus(TEXT.connectionEnded);
      },
      mark: (step) => { if (current()) this.view.mark(step); },
    });
    this.control.start(cipher, this.peer);
    this.view.setStatus(TEXT.waiting);
    this.view.sessionChanged({ id: session, device, verificationCode: cipher.verificationCode });
  }

  async queueSignal(message) {
    const cipher = this.cipher;
    if (!cipher || !this.sid || this.outgoing.length >= MAX_OUTGOING) return;
    // Reserved now so signals keep the order they were made in.
    const slot = { payload: null };
    this.outgoing.push(slot);
    try {
      slot.payload = await cipher.sealJson({ ...message, messageId: crypto.randomUUID().toUpperCase() });
    } catch {
      this.outgoing = this.outgoing.filter((s) => s !== slot);
    }
  }

  // One poll cycle; the page runs it every half second.
  async poll() {
    const now = this.now();
    if (!this.sid || this.busy || now < this.nextServicePoll) return;
    this.nextServicePoll = now + (this.control.lastPong > 0 ? 3 : 1);
    this.busy = true;
    const sid = this.sid;
    const epoch = this.epoch;
    try {
      await this.#pollCycle(sid, epoch);
    } catch (error) {
      if (this.epoch === epoch) {
        this.end();
        this.view.setStatus(describeError(error));
      }
    } finally {
      this.busy = false;
    }
  }

  async #pollCycle(sid, epoch) {
    const current = () => this.sid === sid && this.epoch === epoch;
    const status = await this.request(`session/${sid}/status`);
    if (!current()) return;
    if (status.state === 'ended' || status.state === 'denied') {
      this.end();
      this.view.setStatus(`Session ${status.state}`);
      return;
    }
    if (status.state !== 'approved') return;
    this.view.mark('approved');

    // Only sealed signals at the front go; one still sealing waits its turn.
    let ready = 0;
    while (ready < Math.min(SIGNALS_PER_POST, this.outgoing.length) && this.outgoing[ready].payload) ready += 1;
    if (ready > 0) {
      const sent = this.outgoing.slice(0, ready);
      await this.request(`session/${sid}/signal`, { payloads: sent.map((s) => s.payload) });
      if (!current()) return;
      this.outgoing = this.outgoing.filter((s) => !sent.includes(s));
    }

    let signals = status.signals;
    if (signals === undefined) {
      signals = (await this.request(`session/${sid}/signal`)).signals;
      if (!current()) return;
    }
    if (!Array.isArray(signals) || !signals.every(isObject)) return;
    for (const entry of signals) {
      const cipher = this.cipher;
      if (!cipher) return;
      const message = await cipher.openJson(entry.payload);
      if (!current()) return;
      if (!message || typeof message.messageId !== 'string') continue;
      if (this.seen.has(message.messageId) || this.seen.size >= MAX_SEEN) continue;
      this.seen.add(message.messageId);
      const peer = this.peer;
      if (!peer) continue;
      await peer.accept(message);
      if (!current()) return;
    }
  }

  // Ends the running session, if any; the caller sets the reason.
  end() {
    const sid = this.sid;
    const peer = this.peer;
    if (sid) {
      this.view.release();
      this.control.send({ kind: 'end' });
    }
    this.sid = '';
    this.epoch += 1;
    // The last "end" leaves before the connection closes.
    this.control.stop().finally(() => peer?.close());
    this.peer = null;
    this.cipher = null;
    this.outgoing = [];
    this.seen = new Set();
    this.view.sessionChanged(null);
    if (sid) this.request(`session/${sid}/end`, {}).catch(() => {});
  }

  // Every two seconds.
  ping() {
    if (!this.sid) return;
    this.view.renewHold();
    if (this.control.ping()) {
      this.end();
      this.view.setStatus(TEXT.silent);
    }
  }

  sendInput(message) { if (this.sid) this.control.send(message); }

  // Bytes from the data channel of the session numbered `epoch`.
  async receive(bytes, epoch) {
    if (epoch !== this.epoch || !this.cipher) return;
    const message = await this.cipher.openJson(bytes);
    // The session may have ended while the envelope was opening.
    if (message && epoch === this.epoch) this.control.receive(message);
  }
}
