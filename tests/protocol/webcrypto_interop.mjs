// The console's half of the Web Crypto interoperability check: runs the C++
// side (webcrypto_interop_main.cpp, path in argv) and talks one JSON object a
// line over its stdin/stdout. Usage: node webcrypto_interop.mjs <program>.
import { spawn } from 'node:child_process';
import readline from 'node:readline';

const subtle = globalThis.crypto?.subtle;
if (!subtle) {
  console.error('SKIP: this node has no Web Crypto (crypto.subtle)');
  process.exit(77);
}

const label = 'KestrelixRemoteSessionV1.';
const b64 = (bytes) => Buffer.from(bytes).toString('base64');
const unb64 = (text) => new Uint8Array(Buffer.from(text, 'base64'));
const fail = (why) => {
  console.error(`node: ${why}`);
  process.exit(1);
};

async function sessionKey(privateKey, peerRaw, salt, id) {
  const peer = await subtle.importKey('raw', peerRaw, { name: 'ECDH', namedCurve: 'P-256' }, false, []);
  const shared = await subtle.deriveBits({ name: 'ECDH', public: peer }, privateKey, 256);
  const ikm = await subtle.importKey('raw', shared, 'HKDF', false, ['deriveKey']);
  return subtle.deriveKey(
    { name: 'HKDF', hash: 'SHA-256', salt, info: new TextEncoder().encode(label + id) },
    ikm, { name: 'AES-GCM', length: 256 }, false, ['encrypt', 'decrypt']);
}

async function open(key, envelope) {
  if (envelope.length < 28) fail('envelope shorter than 28 bytes');
  const plain = await subtle.decrypt({ name: 'AES-GCM', iv: envelope.slice(0, 12), tagLength: 128 }, key,
                                     envelope.slice(12));
  return new TextDecoder().decode(plain);
}

async function seal(key, text) {
  const iv = globalThis.crypto.getRandomValues(new Uint8Array(12));
  const body = new Uint8Array(await subtle.encrypt({ name: 'AES-GCM', iv, tagLength: 128 }, key,
                                                   new TextEncoder().encode(text)));
  const envelope = new Uint8Array(12 + body.length);
  envelope.set(iv);
  envelope.set(body, 12);
  return envelope;
}

const pair = await subtle.generateKey({ name: 'ECDH', namedCurve: 'P-256' }, false, ['deriveBits']);
const publicRaw = new Uint8Array(await subtle.exportKey('raw', pair.publicKey));
const salt = globalThis.crypto.getRandomValues(new Uint8Array(16));
const id = globalThis.crypto.randomUUID().toUpperCase();
const device = spawn(process.argv[2], [], { stdio: ['pipe', 'pipe', 'inherit'] });
const exited = new Promise((resolve) => device.on('close', resolve));
device.stdin.write(`${JSON.stringify({ publicKey: b64(publicRaw), salt: b64(salt), id })}\n`);

const lines = readline.createInterface({ input: device.stdout });
const first = await lines[Symbol.asyncIterator]().next();
if (first.done) fail(`no answer from the C++ side (exit ${await exited})`);
const answer = JSON.parse(first.value);
const key = await sessionKey(pair.privateKey, unb64(answer.publicKey), salt, id);
let text;
try {
  text = await open(key, unb64(answer.envelope));
} catch (e) {
  fail(`cannot open the C++ envelope: ${e}`);
}
if (text !== answer.expected) fail(`opened ${JSON.stringify(text)}, expected ${JSON.stringify(answer.expected)}`);
const reply = JSON.stringify({ type: 'answer', echo: text, note: 'from Web Crypto ✓' });
device.stdin.end(`${JSON.stringify({ envelope: b64(await seal(key, reply)), expected: reply })}\n`);
const code = await exited;
if (code !== 0) fail(`the C++ side could not open the Web Crypto envelope (exit ${code})`);
console.log('Web Crypto interoperability: both directions open');
