// Requests to the support service's technician API on this page's own origin.
// The bearer token lives only in this module's memory: never in storage or a
// cookie, so no other page and no later visit can pick it up, and the API
// needs no cross-site request protection. A reload asks for sign-in again.
import { KxError } from './errors.js';

const TIMEOUT_MS = 8000;
const UNREACHABLE = 'Unable to connect to the support service';

let token = '';

export const signedIn = () => token !== '';
export const currentToken = () => token;
export const setToken = (value) => { token = value; };

// GET without a body, POST with one (also an empty object). Resolves with an
// object; a refusal rejects with the service's own "error" text.
export async function request(path, body, { timeoutMs = TIMEOUT_MS, bearer = token } = {}) {
  const init = {
    method: body === undefined ? 'GET' : 'POST',
    headers: { Authorization: `Bearer ${bearer}` },
    cache: 'no-store',
    credentials: 'omit',
    redirect: 'error',
    signal: AbortSignal.timeout(timeoutMs),
  };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(`/api/admin/${path}`, init);
  } catch (error) {
    throw new KxError('Kestrelix', 0, error?.name === 'TimeoutError' ? 'The request timed out.' : UNREACHABLE);
  }
  const text = await response.text();
  if (response.status !== 200) {
    let message = UNREACHABLE;
    try {
      const parsed = JSON.parse(text);
      if (typeof parsed?.error === 'string') message = parsed.error;
    } catch { /* not JSON: the generic text */ }
    throw new KxError('Kestrelix', response.status, message);
  }
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    throw new KxError('Kestrelix', 200, 'The support service sent a reply that is not JSON.');
  }
  if (Array.isArray(value)) return value.every(isObject) ? { devices: value } : {};
  return isObject(value) ? value : {};
}

export const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
