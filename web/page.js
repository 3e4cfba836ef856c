// The console page: wires the buttons, the device list and the live picture
// to the session logic. The only module that touches the document.
import { describeError } from './errors.js';
import { InputView } from './input.js';
import { TechnicianPeer } from './peer.js';
import { currentToken, request, signedIn } from './service.js';
import { Console } from './session.js';
import { finishSignIn, signOut, startSignIn } from './signin.js';

const $ = (id) => document.getElementById(id);
const video = $('video');
let devices = [];
let timelineStart = 0;

const setStatus = (text) => { $('status').textContent = text; };
const setIdentity = (text) => { $('identity').textContent = text; };

function mark(step) {
  const list = $('timeline');
  if (list.querySelector(`[data-step="${step}"]`)) return;  // the first time counts
  const at = performance.now();
  const item = document.createElement('li');
  item.dataset.step = step;
  item.dataset.at = String(Math.round(performance.timeOrigin + at));  // wall-clock ms
  item.textContent = `${step} +${((at - timelineStart) / 1000).toFixed(2)} s`;
  list.append(item);
}

const input = new InputView(video, (message) => technician.sendInput(message));
const technician = new Console({
  view: {
    setStatus,
    setMeasurement: (text) => { $('measurement').textContent = text; },
    setAllowed: (on) => { input.allowed = on; },
    release: () => input.release(),
    renewHold: () => input.renewHold(),
    mark,
    sessionChanged(session) {
      $('end').disabled = !session;
      const code = $('verification');
      code.hidden = !session;
      code.textContent = session ? `Verification code: ${session.verificationCode}` : '';
      if (session) {
        timelineStart = performance.now();
        $('timeline').replaceChildren();
        $('candidates').textContent = '';
        mark('requested');
        watchFirstFrame();
      }
      renderDevices();
    },
  },
  makePeer: (callbacks) => new TechnicianPeer({
    video,
    ...callbacks,
    counted: (added, refused) => {
      $('candidates').textContent = `Candidates from the computer: ${added} added, ${refused} refused`;
    },
  }),
});

function watchFirstFrame() {
  const epoch = technician.epoch;
  video.requestVideoFrameCallback(() => { if (technician.epoch === epoch) mark('firstFrame'); });
}

function renderDevices() {
  const rows = devices.map((device) => {
    const row = document.createElement('li');
    const label = document.createElement('span');
    const online = device.online === true;
    label.textContent = `${typeof device.name === 'string' ? device.name : 'Computer'} · ${online ? 'Online' : 'Offline'}`;
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Request access';
    button.disabled = !online || technician.running;
    button.addEventListener('click', () => technician.connect(device));
    row.append(label, button);
    return row;
  });
  $('devices').replaceChildren(...rows);
}

async function refresh() {
  if (!signedIn()) {
    setStatus('Sign in with technician rights to see your devices.');
    return;
  }
  // A sign-out (or a new sign-in) while the replies are on their way makes them stale.
  const token = currentToken();
  try {
    const who = await request('whoami');
    if (currentToken() !== token) return;
    setIdentity(typeof who.name === 'string' ? who.name : 'Technician');
    const list = (await request('devices')).devices;
    if (currentToken() !== token) return;
    devices = Array.isArray(list) ? list.filter((d) => d && typeof d === 'object') : [];
    renderDevices();
    if (!technician.running) setStatus('Select a computer to request access.');
    refreshAudit();
  } catch (error) {
    if (currentToken() === token) setStatus(describeError(error));
  }
}

// The technician's own recent actions as the service recorded them. A service
// without the audit log answers 404 and the box stays hidden.
async function refreshAudit() {
  const token = currentToken();
  let entries;
  try {
    entries = (await request('audit')).entries;
  } catch {
    $('audit-box').hidden = true;
    return;
  }
  if (currentToken() !== token || !Array.isArray(entries)) return;
  const rows = entries.filter((e) => e && typeof e === 'object').slice(0, 50).map((e) => {
    const item = document.createElement('li');
    const when = Number.isFinite(e.time) ? new Date(e.time * 1000).toLocaleString() : '';
    const parts = [when, e.event, e.device, e.detail].filter((p) => typeof p === 'string' && p !== '');
    item.textContent = parts.join(' · ');
    return item;
  });
  $('audit').replaceChildren(...rows);
  $('audit-box').hidden = false;
}

async function createCode() {
  try {
    const reply = await request('setup-code', {});
    const code = typeof reply.code === 'string' ? reply.code : '';
    $('code-text').textContent = `${code}\n\nValid for one computer for 24 hours. Download the app at ${location.origin}/download`;
    const dialog = $('code-dialog');
    dialog.onclose = () => {
      if (dialog.returnValue === 'copy' && code) navigator.clipboard?.writeText(code).catch(() => {});
    };
    dialog.showModal();
  } catch (error) {
    setStatus(describeError(error));
  }
}

async function fullScreen() {
  if (document.fullscreenElement) {
    await document.exitFullscreen();
    return;
  }
  await $('screen').requestFullscreen();
  // In full screen Chromium can hand the computer even the keys it keeps for itself
  // (new tab, close tab, switch tab); holding Escape leaves.
  await navigator.keyboard?.lock?.().catch(() => {});
  video.focus();
}

$('sign-in').addEventListener('click', () => startSignIn().catch((e) => setStatus(describeError(e))));
$('refresh').addEventListener('click', refresh);
$('setup-code').addEventListener('click', createCode);
$('sign-out').addEventListener('click', () => {
  technician.end();
  signOut();
  setIdentity('Signed out');
  $('devices').replaceChildren();
  $('audit').replaceChildren();
  $('audit-box').hidden = true;
});
$('end').addEventListener('click', () => {
  if (!technician.running) return;
  technician.end();
  // Otherwise the line would go on saying the session is connected.
  setStatus('Session ended');
});
$('full-screen').addEventListener('click', () => fullScreen().catch(() => {}));
addEventListener('pagehide', () => technician.end());

setInterval(() => technician.poll(), 500);
setInterval(() => technician.ping(), 2000);

try {
  const name = await finishSignIn();
  if (name !== null) setIdentity(name);
} catch (error) {
  setStatus(describeError(error));
}
await refresh();
