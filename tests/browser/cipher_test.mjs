// The browser console's cipher against the agent's known answers (RFC 5903
// keys; the envelope was sealed by the C++ cipher) and the envelope rules.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { fromBase64, SessionCipher, toBase64 } from '../../web/cipher.js';

const PRIVATE_I = 'yI8B9RDZrD9wopLaojFt5UTpqriv6EBJxiqcV4YtFDM=';
const PRIVATE_R = 'xu+cXXiuASoBEWSss5fOIIhoXY8Gv5vgsoOrRkdr7lM=';
const PUBLIC_I = 'BNrQtlOUIhz5sFHh/spXh9CY3+Y3/JC575RdDDdyWBGAUnGgRhzbglLWHxxFb6PlmrH0WzOsz19YOJ4Fd7iZC7M=';
const PUBLIC_R = 'BNEt+1KJyNT4Egi3AnA5jDQilpcKC8y3THNvx1VElL9jVvvzyjZswj6BV4VME8WNaqwj8Eatow+DU+dPMwOYcqs=';
const SALT = 'AAECAwQFBgcICQoLDA0ODw==';
const SESSION = '7D444840-9DC0-11D1-B245-5FFDCE74FAD2';
const SEALED_BY_AGENT = 'yv66vvrO263eyviIs10Bf2ECp7GuwSGL6wn1/0spFrHKAhuFXZzCw06EYAnWEHLkXGSx';
const PLAINTEXT = '{"type":"ping","seq":1}';
// HKDF-SHA256(shared X, salt, "kestrelix-verification-code", 4) = 65868d74.
const VERIFICATION_CODE = '316852';

const b64url = (bytes) => Buffer.from(bytes).toString('base64url');
async function privateKey(scalar, publicPoint) {
  const point = fromBase64(publicPoint);
  const jwk = { kty: 'EC', crv: 'P-256', d: b64url(fromBase64(scalar)), x: b64url(point.subarray(1, 33)),
    y: b64url(point.subarray(33)) };
  return crypto.subtle.importKey('jwk', jwk, { name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
}
const text = (bytes) => new TextDecoder().decode(bytes);
const initiator = async () => SessionCipher.create(await privateKey(PRIVATE_I, PUBLIC_I), PUBLIC_R, SALT, SESSION);

test('both ends derive the key the agent sealed with, and the same verification code', async () => {
  const console = await initiator();
  const device = await SessionCipher.create(await privateKey(PRIVATE_R, PUBLIC_R), PUBLIC_I, SALT, SESSION);
  for (const cipher of [console, device]) {
    assert.equal(text(await cipher.open(fromBase64(SEALED_BY_AGENT))), PLAINTEXT);
    assert.equal(cipher.verificationCode, VERIFICATION_CODE);
  }
  const sealed = await console.seal(new TextEncoder().encode('answer'));
  assert.equal(text(await device.open(sealed)), 'answer');
});

test('unusable peer keys and salts are the envelope error, an off-curve point is not', async () => {
  const key = await privateKey(PRIVATE_I, PUBLIC_I);
  const point = fromBase64(PUBLIC_R);
  const cases = [
    [toBase64(point.subarray(0, 64)), SALT],
    [toBase64(new Uint8Array([...point, 0])), SALT],
    [toBase64(point.subarray(0, 33)), SALT],
    ['not base64!', SALT],
    [PUBLIC_R, toBase64(new Uint8Array(15))],
    [PUBLIC_R, toBase64(new Uint8Array(17))],
    [PUBLIC_R, 'AAECAwQFBgcICQoLDA0ODw'],  // unpadded
  ];
  for (const [peer, salt] of cases) {
    await assert.rejects(SessionCipher.create(key, peer, salt, SESSION),
      { domain: 'Session encryption', code: 1, description: 'Invalid session encryption envelope' }, peer + salt);
  }
  const offCurve = new Uint8Array(65);
  offCurve[0] = 4;
  await assert.rejects(SessionCipher.create(key, toBase64(offCurve), SALT, SESSION),
    (e) => e.domain !== 'Session encryption');
});

test('envelopes: fresh nonces, n + 28 bytes, short or altered ones refused', async () => {
  const cipher = await initiator();
  const plain = new TextEncoder().encode(PLAINTEXT);
  const [a, b] = [await cipher.seal(plain), await cipher.seal(plain)];
  assert.equal(a.length, plain.length + 28);
  assert.notDeepEqual(a, b);
  assert.equal((await cipher.open(await cipher.seal(new Uint8Array()))).length, 0);
  await assert.rejects(cipher.open(a.subarray(0, 27)), RangeError);
  for (let bit = 0; bit < a.length * 8; bit += 7) {
    const flipped = a.slice();
    flipped[bit >> 3] ^= 1 << (bit & 7);
    await assert.rejects(cipher.open(flipped));
  }
  assert.equal(text(await cipher.open(a)), PLAINTEXT);  // a failure leaves the cipher usable
  const other = await SessionCipher.create(await privateKey(PRIVATE_I, PUBLIC_I), PUBLIC_R, SALT, `${SESSION}X`);
  assert.equal(await other.openJson(toBase64(a)), null);
});
