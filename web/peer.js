// The technician's end of the real-time connection: the browser's own
// RTCPeerConnection answering the agent's offer. It receives the video and the
// agent's "kestrelix-input" data channel and knows nothing of the service or
// the cipher; the session hands it opened signals and seals what it sends.
import { KxError } from './errors.js';

export const LIMITS = Object.freeze({
  offerBytes: 48000,
  candidateBytes: 4096,
  maxLineIndex: 16,
  earlyCandidates: 128,
  sendBacklog: 65536,
  messageBytes: 8192,
});
const CHANNEL_LABEL = 'kestrelix-input';
const utf8Length = (text) => new TextEncoder().encode(text).length;

export class TechnicianPeer {
  #pc;
  #channel = null;
  #early = [];
  #closed = false;

  // video: the <video> that shows the agent's screen. signal(message),
  // receive(bytes) and state(word) are never called after close().
  constructor({ video, signal, receive, state, mark = () => {}, counted = () => {} }) {
    this.video = video;
    this.candidatesAdded = 0;
    this.candidatesRefused = 0;
    const pc = new RTCPeerConnection({ iceServers: [] });
    this.#pc = pc;
    const live = (fn) => (...args) => { if (!this.#closed) fn(...args); };

    pc.onicecandidate = live(({ candidate }) => {
      if (!candidate?.candidate) return;  // the end of gathering needs no signal
      if (!this.sentCandidate) mark('firstLocalCandidate');
      this.sentCandidate = true;
      signal({
        type: 'candidate',
        candidate: {
          candidate: candidate.candidate,
          sdpMid: candidate.sdpMid ?? '0',
          sdpMLineIndex: candidate.sdpMLineIndex ?? 0,
        },
      });
    });
    pc.oniceconnectionstatechange = live(() => {
      const s = pc.iceConnectionState;
      if (s === 'connected' || s === 'completed') mark('iceConnected');
      state(s === 'failed' || s === 'disconnected' || s === 'closed' ? 'closed'
        : s === 'connected' || s === 'completed' ? 'connected' : 'connecting');
    });
    pc.onconnectionstatechange = live(() => { if (pc.connectionState === 'connected') mark('dtlsConnected'); });
    pc.ontrack = live(({ track }) => {
      if (track.kind !== 'video') return;
      // A later video track replaces the earlier one: one picture at a time.
      video.srcObject = new MediaStream([track]);
    });
    pc.ondatachannel = live(({ channel }) => {
      if (channel.label !== CHANNEL_LABEL) {
        channel.close();
        return;
      }
      this.#channel?.close();
      this.#channel = channel;
      channel.binaryType = 'arraybuffer';
      channel.onopen = live(() => mark('channelOpen'));
      channel.onclose = live(() => state('closed'));
      channel.onmessage = live(({ data }) => {
        if (data instanceof ArrayBuffer && data.byteLength <= LIMITS.messageBytes) receive(new Uint8Array(data));
      });
      if (channel.readyState === 'open') mark('channelOpen');
    });
    this.mark = mark;
    this.counted = counted;
    this.signal = signal;
  }

  // One opened signal. Only what the agent sends is taken: an offer and its
  // candidates. Anything else, an answer included, is ignored.
  async accept(message) {
    if (message.type === 'offer') return this.#acceptOffer(message.sdp);
    if (message.type === 'candidate') return this.#acceptCandidate(message.candidate);
  }

  async #acceptOffer(sdp) {
    if (typeof sdp !== 'string' || this.#pc.remoteDescription) return;
    if (utf8Length(sdp) > LIMITS.offerBytes) throw new KxError('Invalid offer', 1);
    this.mark('offerReceived');
    await this.#pc.setRemoteDescription({ type: 'offer', sdp });
    const early = this.#early;
    this.#early = [];
    for (const candidate of early) await this.#add(candidate);
    const answer = await this.#pc.createAnswer();
    if (!answer?.sdp) throw new KxError('Answer failed', 1);
    await this.#pc.setLocalDescription(answer);
    if (this.#closed) return;
    this.mark('answerSent');
    this.signal({ type: 'answer', sdp: this.#pc.localDescription.sdp });
  }

  async #acceptCandidate(entry) {
    if (entry === null || typeof entry !== 'object' || typeof entry.candidate !== 'string') return;
    const index = Number.isInteger(entry.sdpMLineIndex) ? entry.sdpMLineIndex : 0;
    if (index < 0 || index > LIMITS.maxLineIndex || utf8Length(entry.candidate) > LIMITS.candidateBytes) {
      throw new KxError('Invalid candidate', 1);
    }
    const candidate = {
      candidate: entry.candidate,
      sdpMLineIndex: index,
      sdpMid: typeof entry.sdpMid === 'string' ? entry.sdpMid : null,
    };
    if (this.#pc.remoteDescription) return this.#add(candidate);
    if (this.#early.length < LIMITS.earlyCandidates) this.#early.push(candidate);
  }

  async #add(candidate) {
    try {
      await this.#pc.addIceCandidate(candidate);
      this.candidatesAdded += 1;
    } catch (error) {
      this.candidatesRefused += 1;
      throw error;
    } finally {
      this.counted(this.candidatesAdded, this.candidatesRefused);
    }
  }

  // Hands one envelope to the data channel; false when it is not open or
  // already holds 64 KiB. Nothing is queued here.
  send(bytes) {
    const channel = this.#channel;
    if (this.#closed || channel?.readyState !== 'open' || channel.bufferedAmount >= LIMITS.sendBacklog) return false;
    try {
      channel.send(bytes);
      return true;
    } catch {
      return false;
    }
  }

  // Quietly: a close asked for here is not reported back through state().
  close() {
    if (this.#closed) return;
    this.#closed = true;
    this.video.srcObject = null;
    this.#channel?.close();
    this.#channel = null;
    this.#pc.close();
  }
}
