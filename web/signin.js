// Technician sign-in through the portal with a proof key (RFC 7636, S256).
// The verifier and state wait in sessionStorage while the tab visits the
// portal: they are useless without the one-time code and die with the tab.
// The token they buy stays in memory (service.js).
import { randomBytes, toBase64Url } from './cipher.js';
import { KxError } from './errors.js';
import { currentToken, request, setToken } from './service.js';

const PENDING = 'kx.signIn';

export async function startSignIn(location = globalThis.location) {
  const verifier = toBase64Url(randomBytes(32));
  const state = crypto.randomUUID().replaceAll('-', '').toLowerCase();
  const digest = await crypto.subtle.digest('SHA-256', new TextEncoder().encode(verifier));
  const challenge = toBase64Url(new Uint8Array(digest));
  sessionStorage.setItem(PENDING, JSON.stringify({ verifier, state }));
  location.assign(`/native-sign-in?challenge=${challenge}&state=${state}&return=console`);
}

// After the portal's redirect back: trades the code for a token and returns
// the technician's name. Null when this load is no sign-in callback.
export async function finishSignIn(location = globalThis.location, history = globalThis.history) {
  const url = new URL(location.href);
  if (!url.searchParams.has('code') && !url.searchParams.has('state')) return null;
  // The code leaves the address bar and the history entry at once.
  history.replaceState(null, '', url.pathname);
  let pending = null;
  try {
    pending = JSON.parse(sessionStorage.getItem(PENDING));
  } catch { /* a damaged entry counts as none */ }
  sessionStorage.removeItem(PENDING);
  const code = url.searchParams.get('code');
  if (!pending || !code || url.searchParams.get('state') !== pending.state) {
    throw new KxError('Sign-in', 1, 'Sign-in cancelled');
  }
  const reply = await request('exchange', { code, verifier: pending.verifier });
  if (typeof reply.token !== 'string' || reply.token === '') throw new KxError('Invalid sign-in', 1);
  setToken(reply.token);
  return typeof reply.name === 'string' ? reply.name : 'Technician';
}

// Forgets the token at once and asks the service to revoke it.
export function signOut() {
  const token = currentToken();
  setToken('');
  if (token) request('logout', {}, { bearer: token, timeoutMs: 60000 }).catch(() => {});
}
