// A whole support session through the browser console: Debian's chromium,
// headless, signs in through the portal, requests access to the real agent on
// a virtual display, gets the picture and sends a click and a key that are
// then seen on that display. Also the rules only a browser can show: the
// token never in the address, the page's Content-Security-Policy enforced, a
// second console beside the first (one computer, one session), and a second
// session in the same page.
//
//   node console_session.mjs --build DIR [--demo]
import { execFile, spawn } from 'node:child_process';
import { X509Certificate, createHash } from 'node:crypto';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync, existsSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';

const args = process.argv.slice(2);
const BUILD = args[args.indexOf('--build') + 1];
const DEMO = args.includes('--demo');
if (!args.includes('--build') || !BUILD) {
  console.error('usage: node console_session.mjs --build DIR [--demo]');
  process.exit(2);
}
const CHROMIUM = '/usr/bin/chromium';
let PORTAL;  // the service's origin, once it listens
const TECHNICIAN = 'web-technician';
const PASSWORD = `web-password-${process.pid}-${Date.now()}`;
const OTHER = 'other-technician';
const CA = join(BUILD, 'local-service');  // the CA the agent build trusts
const OUT = join(BUILD, 'web-session');
const SERVICE_DATA = join(OUT, 'service');
const AGENT_HOME = join(OUT, 'agent');
const AGENT_DATA = join(AGENT_HOME, 'data', 'Kestrelix Remote Test');

let puppeteer;
try {
  puppeteer = (await import('puppeteer-core')).default;
} catch {
  console.error('SKIP: puppeteer-core is not installed (./kx build runs npm ci in tests/browser)');
  process.exit(77);
}
if (!existsSync(CHROMIUM)) {
  console.error(`SKIP: ${CHROMIUM} is missing (Debian's chromium package)`);
  process.exit(77);
}

const children = [];
let browser;
let page;
const run = promisify(execFile);
const say = (text) => console.log(`== ${text}`);
const fail = (text) => { throw new Error(text); };

function start(command, argv, options = {}) {
  const child = spawn(command, argv, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  child.output = '';
  child.stdout.on('data', (d) => { child.output += d; });
  child.stderr.on('data', (d) => { child.output += d; });
  children.push(child);
  return child;
}

// Polls `check` until it returns something truthy; fails after `seconds`.
async function waitFor(what, seconds, check) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) fail(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

const x = (display, ...argv) => run('xdotool', argv, { env: { ...process.env, DISPLAY: display } })
  .then((r) => r.stdout.trim(), () => '');
const windowNamed = async (display, name) => (await x(display, 'search', '--name', name)).split('\n').pop();
// The agent's consent and picker dialogs refuse by default and take no choice
// in their first second on screen: that second passes, then Tab reaches the
// granting button (Approve; Share after the display list) and Space presses it.
async function grantIn(display, name, tabs) {
  const id = await waitFor(`the "${name}" window`, 30, () => windowNamed(display, name));
  const shown = Date.now();
  await waitFor('the dialog to take a choice', 5, () => Date.now() - shown > 1500);
  await x(display, 'windowfocus', '--sync', id);
  for (let i = 0; i < tabs; i += 1) await x(display, 'key', 'Tab');
  await x(display, 'key', 'space');
}
const CONNECTED = 'Connected · Live video and control ready';
const agentStatus = () => {
  try {
    return JSON.parse(readFileSync(join(AGENT_DATA, 'client-status.json'), 'utf8'));
  } catch {
    return {};
  }
};

// The SHA-256 of the service certificate's public key, for chromium to trust
// that one certificate and nothing else.
function spkiHash() {
  const certificate = new X509Certificate(readFileSync(join(CA, 'server.pem')));
  const spki = certificate.publicKey.export({ type: 'spki', format: 'der' });
  return createHash('sha256').update(spki).digest('base64');
}

async function main() {
  rmSync(OUT, { recursive: true, force: true });
  mkdirSync(AGENT_DATA, { recursive: true });

  say('support service');
  await run(join(BUILD, 'bin', 'kx-service'), ['certificates', '--data', CA]);
  const service = start(join(BUILD, 'bin', 'kx-service'), ['serve', '--data', SERVICE_DATA,
    '--cert', join(CA, 'server.pem'), '--key', join(CA, 'server-key.pem'), '--listen', '127.0.0.1:0']);
  const [, port] = await waitFor('kx-service to listen', 20,
    () => /listening on https:\/\/127\.0\.0\.1:(\d+)/.exec(service.output));
  PORTAL = `https://127.0.0.1:${port}`;
  if (service.output.includes('browser console off')) fail(service.output);
  for (const name of [TECHNICIAN, OTHER]) {
    const add = spawn(join(BUILD, 'bin', 'kx-service'), ['technician', 'add', name, '--data', SERVICE_DATA]);
    add.stdin.end(`${PASSWORD}\n`);
    await new Promise((resolve) => add.on('exit', resolve));
  }
  const { stdout: enrollment } = await run(join(BUILD, 'bin', 'kx-service'),
    ['enrollment-file', '--technician', TECHNICIAN, '--url', `https://localhost:${port}`, '--data', SERVICE_DATA]);
  writeFileSync(join(AGENT_DATA, 'enrollment.json'), enrollment);

  // The server picks a free display number itself, so runs side by side never collide.
  const xvfb = start('Xvfb', ['-displayfd', '3', '-screen', '0', '1440x900x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
  let number = '';
  xvfb.stdio[3].on('data', (d) => { number += d; });
  const display = `:${(await waitFor('a virtual display', 15, () => /\d+\n/.exec(number)))[0].trim()}`;
  say(`agent on ${display}`);
  const runtime = join(AGENT_HOME, 'runtime');
  mkdirSync(runtime, { recursive: true });
  chmodSync(runtime, 0o700);
  const agent = start(join(BUILD, 'bin', 'kestrelix-remote'), [], {
    cwd: AGENT_HOME,
    env: { ...process.env, DISPLAY: display, TMPDIR: AGENT_HOME, XDG_DATA_HOME: join(AGENT_HOME, 'data'),
      XDG_CONFIG_HOME: join(AGENT_HOME, 'config'), XDG_RUNTIME_DIR: runtime },
  });
  await waitFor('the agent to register', 30, () =>
    readFileSync(join(AGENT_DATA, 'enrollment.json'), 'utf8').includes('"device"'));
  const setup = await windowNamed(display, 'Set up this computer');
  if (setup) await x(display, 'windowunmap', setup);
  // An X client on the shared display that reports the input it receives.
  const observer = start('xev', ['-geometry', '1000x700+420+180', '-event', 'button', '-event', 'keyboard'],
    { env: { ...process.env, DISPLAY: display } });
  await waitFor('the input observer', 15, () => windowNamed(display, 'Event Tester'));

  say('chromium opens the console');
  const profile = mkdtempSync(join(tmpdir(), 'kx-chromium-'));
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: [
      ...(process.getuid?.() === 0 ? ['--no-sandbox'] : []),
      '--allow-loopback-in-peer-connection',
      '--disable-features=WebRtcHideLocalIpsWithMdns',
      '--autoplay-policy=no-user-gesture-required',
      '--disable-background-timer-throttling',
      '--disable-renderer-backgrounding',
      '--disable-backgrounding-occluded-windows',
      `--ignore-certificate-errors-spki-list=${spkiHash()}`,
      '--window-size=1400,900',
    ],
    defaultViewport: { width: 1400, height: 900 },
  });
  page = await browser.newPage();
  const consoles = [page];
  const pageErrors = [];
  const watch = (p) => {
    p.on('pageerror', (e) => pageErrors.push(String(e)));
    p.on('console', (m) => { if (/Uncaught/.test(m.text())) pageErrors.push(m.text()); });
  };
  watch(page);
  await page.goto(`${PORTAL}/console/`, { waitUntil: 'networkidle0' });
  const text = (selector) => page.$eval(selector, (e) => e.textContent);

  // Scripts the page did not load from its own origin never run.
  const inline = await page.evaluate(() => new Promise((resolve) => {
    document.addEventListener('securitypolicyviolation', (e) => resolve({ directive: e.effectiveDirective,
      ran: window.inlineRan === true }), { once: true });
    const script = document.createElement('script');
    script.textContent = 'window.inlineRan = true';
    document.body.append(script);
  }));
  if (inline.ran || inline.directive !== 'script-src-elem') fail(`inline script not refused: ${JSON.stringify(inline)}`);

  say('technician signs in through the portal');
  const signIn = async (p, name) => {
    await Promise.all([p.waitForNavigation(), p.click('#sign-in')]);
    if (!p.url().startsWith(`${PORTAL}/native-sign-in?`)) fail(`sign-in went to ${p.url()}`);
    await p.type('#name', name);
    await p.type('#password', PASSWORD);
    await Promise.all([p.waitForNavigation(), p.click('button[type=submit]')]);
    await p.waitForFunction((n) => document.getElementById('identity').textContent === n, {}, name);
  };
  await signIn(page, TECHNICIAN);
  const traces = await page.evaluate(() => ({ url: location.href, history: history.length,
    stored: sessionStorage.length + localStorage.length, cookies: document.cookie }));
  if (traces.url !== `${PORTAL}/console/`) fail(`the address keeps sign-in data: ${traces.url}`);
  if (traces.stored || traces.cookies) fail(`sign-in left data in storage: ${JSON.stringify(traces)}`);

  say('technician lists the devices and requests access');
  const requestAccess = async (p) => {
    await waitFor('the agent to be listed online', 30, async () => {
      await p.click('#refresh');
      return p.evaluate(() => {
        const button = document.querySelector('#devices button');
        return button && !button.disabled;
      });
    });
    // In the page itself: a refresh still on its way may redraw the rows at any moment.
    await p.evaluate(() => document.querySelector('#devices button').click());
  };
  await requestAccess(page);
  await page.waitForFunction(() => document.getElementById('verification').textContent.startsWith('Verification code: '));
  const verification = await text('#verification');
  if (!/^Verification code: \d{6}$/.test(verification)) fail(`bad verification line: ${verification}`);

  say('the person approves and picks the display');
  await grantIn(display, 'Support request', 1);
  const approvedAt = Date.now();
  await grantIn(display, 'Choose the display to share', 1);
  const pickedAt = Date.now();

  await page.waitForFunction((t) => document.getElementById('status').textContent === t, { timeout: 30000 }, CONNECTED);
  await page.waitForFunction(() => document.getElementById('video').getVideoPlaybackQuality().totalVideoFrames >= 10,
    { timeout: 30000 });
  await page.waitForFunction(() => /^Input round trip: \d+ ms$/.test(document.getElementById('measurement').textContent),
    { timeout: 15000 });

  say('technician clicks and types on the live picture');
  // The middle of the picture is the middle of the shared display, inside the observer's window.
  const centre = await page.$eval('#video', (v) => {
    const box = v.getBoundingClientRect();
    return { x: box.left + box.width / 2, y: box.top + box.height / 2 };
  });
  await page.mouse.click(centre.x, centre.y);
  await page.keyboard.press('KeyK');
  await waitFor('the click on the shared display', 15, () => /ButtonPress/.test(observer.output));
  await waitFor('the key on the shared display', 15, () => observer.output.includes('keysym 0x6b, k'));
  const click = /ButtonPress[^]*?root:\((\d+),(\d+)\)/.exec(observer.output);
  await page.screenshot({ path: join(OUT, 'console.png') });

  const figures = await page.evaluate(() => ({
    frames: document.getElementById('video').getVideoPlaybackQuality().totalVideoFrames,
    now: Math.round(performance.timeOrigin + performance.now()),
    firstFrameAt: Number(document.querySelector('#timeline [data-step="firstFrame"]')?.dataset.at),
    timeline: [...document.querySelectorAll('#timeline li')].map((li) => li.textContent),
    candidates: document.getElementById('candidates').textContent,
    measurement: document.getElementById('measurement').textContent,
  }));
  if (!/ added, 0 refused$/.test(figures.candidates)) fail(`candidates refused: ${figures.candidates}`);

  say('a second console: the same technician is refused the busy computer, another technician works alongside');
  const frames = () => page.$eval('#video', (v) => v.getVideoPlaybackQuality().totalVideoFrames);
  const framesBefore = await frames();
  for (const name of [TECHNICIAN, OTHER]) {
    const p = await (await browser.createBrowserContext()).newPage();
    watch(p);
    consoles.push(p);
    await p.goto(`${PORTAL}/console/`, { waitUntil: 'networkidle0' });
    await signIn(p, name);
  }
  const [, twin, stranger] = consoles;
  // Signing in listed the devices already; a refresh on its way would redraw the status line.
  await twin.waitForFunction(() => document.querySelector('#devices button')?.disabled === false);
  await twin.evaluate(() => document.querySelector('#devices button').click());
  await twin.waitForFunction(() => document.getElementById('status').textContent ===
    'The computer already has an open session.', { timeout: 10000 });
  await stranger.waitForFunction(() => document.getElementById('status').textContent ===
    'Select a computer to request access.');
  if (await stranger.$('#devices li')) fail('another technician was shown this technician\'s computer');
  await stranger.click('#sign-out');
  await waitFor('the first session to go on', 10, async () => (await frames()) > framesBefore + 10);
  if (await text('#status') !== CONNECTED) fail(`the first session was disturbed: ${await text('#status')}`);

  say('technician ends the session');
  await page.click('#end');
  await waitFor('the agent to end the session', 20, () => {
    const s = agentStatus();
    return s.captureState === 'idle' && s.rtcState === 'idle';
  });
  await page.waitForFunction(() => document.getElementById('end').disabled);
  // Back to awaiting requests: a new request is possible at once.
  await page.waitForFunction(() => !document.querySelector('#devices button').disabled);
  const statusAfterEnd = await text('#status');
  if (statusAfterEnd !== 'Session ended') fail(`status after End: ${statusAfterEnd}`);

  say('a second session in the same page: nothing of the first one touches it');
  await requestAccess(page);
  await grantIn(display, 'Support request', 1);
  await grantIn(display, 'Choose the display to share', 1);
  await page.waitForFunction((t) => document.getElementById('status').textContent === t, { timeout: 30000 }, CONNECTED);
  await page.waitForFunction((before) =>
    Number(document.querySelector('#timeline [data-step="firstFrame"]')?.dataset.at) > before,
  { timeout: 30000 }, figures.firstFrameAt);
  await page.click('#end');
  await waitFor('the agent to end the second session', 20, () => agentStatus().captureState === 'idle');
  // The service's record of this technician's actions, shown under the page.
  await page.click('#refresh');
  await page.waitForFunction(() => [...document.querySelectorAll('#audit li')]
    .some((li) => li.textContent.includes('sign-in')), { timeout: 10000 });

  say('technician signs out');
  await page.click('#sign-out');
  await page.waitForFunction(() => document.getElementById('identity').textContent === 'Signed out');
  // The service revoked the token: its audit log says so.
  await waitFor('the service to revoke the token', 15, async () => {
    const { stdout } = await run(join(BUILD, 'bin', 'kx-service'),
      ['audit', '--technician', TECHNICIAN, '--data', SERVICE_DATA]);
    return stdout.includes('"event":"sign-out"');
  });
  if (pageErrors.length) fail(`the page reported errors:\n${pageErrors.join('\n')}`);
  agent.kill('SIGTERM');

  const rtt = /Input round trip: (\d+) ms/.exec(figures.measurement);
  const firstFrame = (figures.firstFrameAt - pickedAt) / 1000;
  const fps = figures.frames / Math.max((figures.now - figures.firstFrameAt) / 1000, 0.001);
  console.log(`session timeline (from the request): ${figures.timeline.join(' · ')}`);
  console.log(`ICE candidates: ${figures.candidates}`);
  console.log(`display choice to first frame in the browser: ${firstFrame.toFixed(2)} s`);
  console.log(`input round trip as the browser console shows it: ${figures.measurement}`);
  console.log(`frames decoded in the browser: ${figures.frames} (${fps.toFixed(1)} frames per second)`);
  console.log(`screenshot of the console: ${join(OUT, 'console.png')}`);
  console.log(`injected click observed on the shared display at ${click?.[1]},${click?.[2]}, typed key observed: k`);
  if (DEMO) {
    console.log(JSON.stringify({
      approval_to_first_frame_s: +((figures.firstFrameAt - approvedAt) / 1000).toFixed(2),
      display_choice_to_first_frame_s: +firstFrame.toFixed(2),
      frames_received: figures.frames,
      frame_rate_fps: +fps.toFixed(1),
      input_round_trip_ms: rtt ? Number(rtt[1]) : null,
      console_measurement: figures.measurement,
      console_status_after_end: statusAfterEnd,
      click_observed_at: click ? `${click[1]},${click[2]}` : null,
      key_observed: 'k',
      console: 'web',
    }));
  }
}

let code = 0;
try {
  await main();
  say('browser console session finished');
} catch (error) {
  code = 1;
  console.error(`web session: ${error.message}`);
  const seen = await page?.evaluate(() => ['status', 'measurement', 'timeline', 'candidates']
    .map((id) => `${id}: ${document.getElementById(id)?.textContent}`).join('\n')).catch(() => '');
  if (seen) console.error(`--- the console page\n${seen}`);
  for (const child of children) {
    if (child.output) console.error(`--- ${child.spawnargs.join(' ')}\n${child.output.slice(-3000)}`);
  }
} finally {
  await browser?.close().catch(() => {});
  for (const child of children.reverse()) {
    if (child.exitCode === null) child.kill('SIGTERM');
  }
  await Promise.all(children.map((c) => (c.exitCode === null && c.signalCode === null
    ? new Promise((resolve) => c.on('exit', resolve)) : null)));
}
process.exit(code);
