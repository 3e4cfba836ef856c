// The session cipher: P-256 key agreement, HKDF-SHA256 (RFC 5869) and
// AES-256-GCM envelopes laid out as nonce (12) | ciphertext | tag (16), the
// same bytes the agent's cipher reads and writes.
import { KxError } from './errors.js';

const subtle = globalThis.crypto.subtle;
const LABEL = 'KestrelixRemoteSessionV1.';
const VERIFICATION_INFO = 'kestrelix-verification-code';
const NONCE_BYTES = 12;
const TAG_BYTES = 16;

const envelopeError = () => new KxError('Session encryption', 1, 'Invalid session encryption envelope');
const utf8 = new TextEncoder();

// Standard base64 with padding, as the envelope travels in JSON.
export function toBase64(bytes) {
  let text = '';
  for (const b of bytes) text += String.fromCharCode(b);
  return btoa(text);
}

// Strict: the standard alphabet, padded to a multiple of four; null otherwise.
export function fromBase64(text) {
  if (typeof text !== 'string' || text.length % 4 !== 0 || !/^[A-Za-z0-9+/]*={0,2}$/.test(text)) return null;
  const raw = atob(text);
  return Uint8Array.from(raw, (c) => c.charCodeAt(0));
}

export function toBase64Url(bytes) {
  return toBase64(bytes).replaceAll('+', '-').replaceAll('/', '_').replaceAll('=', '');
}

export function randomBytes(count) {
  return globalThis.crypto.getRandomValues(new Uint8Array(count));
}

// A fresh session key pair; the private half never leaves WebCrypto.
export async function generateSessionKey() {
  const pair = await subtle.generateKey({ name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
  const raw = new Uint8Array(await subtle.exportKey('raw', pair.publicKey));
  return { privateKey: pair.privateKey, publicKey: toBase64(raw) };
}

export class SessionCipher {
  #key;

  constructor(key, verificationCode) {
    this.#key = key;
    // Six digits both people can compare aloud: equal only when no one sits
    // between the two key agreements.
    this.verificationCode = verificationCode;
    Object.freeze(this);
  }

  // privateKey: a CryptoKey from generateSessionKey (or any ECDH P-256 key
  // allowed to derive bits); peer and salt: base64 texts; session: the id.
  static async create(privateKey, peer, salt, session) {
    const peerBytes = fromBase64(peer);
    if (!peerBytes || peerBytes.length !== 65) throw envelopeError();
    const saltBytes = fromBase64(salt);
    if (!saltBytes || saltBytes.length !== 16) throw envelopeError();
    // An off-curve point is WebCrypto's own error, passed on as it is.
    const peerKey = await subtle.importKey('raw', peerBytes, { name: 'ECDH', namedCurve: 'P-256' }, false, []);
    const shared = await subtle.deriveBits({ name: 'ECDH', public: peerKey }, privateKey, 256);
    const ikm = await subtle.importKey('raw', shared, 'HKDF', false, ['deriveKey', 'deriveBits']);
    const key = await subtle.deriveKey(
      { name: 'HKDF', hash: 'SHA-256', salt: saltBytes, info: utf8.encode(LABEL + session) },
      ikm, { name: 'AES-GCM', length: 256 }, false, ['encrypt', 'decrypt']);
    const code = new DataView(await subtle.deriveBits(
      { name: 'HKDF', hash: 'SHA-256', salt: saltBytes, info: utf8.encode(VERIFICATION_INFO) }, ikm, 32));
    return new SessionCipher(key, String(code.getUint32(0) % 1000000).padStart(6, '0'));
  }

  // Bytes in, one envelope out (a fresh random nonce each time).
  async seal(plaintext) {
    const iv = randomBytes(NONCE_BYTES);
    const body = new Uint8Array(await subtle.encrypt({ name: 'AES-GCM', iv, tagLength: 128 }, this.#key, plaintext));
    const envelope = new Uint8Array(NONCE_BYTES + body.length);
    envelope.set(iv);
    envelope.set(body, NONCE_BYTES);
    return envelope;
  }

  // One envelope in, its plaintext out; a short or forged envelope throws.
  async open(envelope) {
    if (!(envelope instanceof Uint8Array) || envelope.length < NONCE_BYTES + TAG_BYTES) {
      throw new RangeError('An envelope has at least 28 bytes');
    }
    return new Uint8Array(await subtle.decrypt(
      { name: 'AES-GCM', iv: envelope.subarray(0, NONCE_BYTES), tagLength: 128 }, this.#key,
      envelope.subarray(NONCE_BYTES)));
  }

  // A JSON object sealed for the service's relay (base64 text).
  async sealJson(object) {
    return toBase64(await this.seal(utf8.encode(JSON.stringify(object))));
  }

  // The object inside a relayed envelope, or null when anything is wrong.
  async openJson(payload) {
    const bytes = payload instanceof Uint8Array ? payload : fromBase64(payload);
    if (!bytes) return null;
    try {
      const value = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(await this.open(bytes)));
      return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
    } catch {
      return null;
    }
  }
}
