// Drives rtmpwriter's property page in the system's headless Chromium, as a person would: every
// control and label is there, the live figures show the filter's "no data" while it is held,
// Connect turns the status within a second, the figures then move on their own, and unchecking "Use
// Authentication" and applying clears the user name in the filter; the password never reaches
// the browser; a writer whose server is down shows "N/A" for the figures it has no data for. One line per check; the first failure ends the run with exit status 1.
//
//   node page_test.mjs <page URL> <artifact dir>
//
// Environment, from the driver that started rtmpwriter:
//   QV_UI_USER, QV_UI_PASSWORD  the credentials it was given
//   QV_UI_EXPECT                JSON {"<id>": text or boolean} the controls show at first
//   QV_UI_PROFILE               a private directory for the browser's profile (else a new one in TMPDIR)
//   QV_UI_NO_DATA               the page of a writer started without its server (optional)
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const TITLE = 'RTMP Network Writer Property Page';
// The page's controls: id → kind, label, unit, group.
const CONTROLS = [
  [1001, 'edit', 'RTMP URL:'],
  [1024, 'button', 'Connect'],
  [1025, 'button', 'Disconnect'],
  [1026, 'text', 'Status:'],
  [1002, 'edit', 'Output Buffer Size:', 'bytes'],
  [1013, 'edit', 'Output Packet Size:', 'bytes'],
  [1003, 'check', 'Live Mode'],
  [1004, 'check', 'Allow B Frames'],
  [1014, 'check', 'Write Timecode'],
  [1017, 'check', 'TCP No Delay'],
  [1029, 'check', 'Passthrough Padding'],
  [1015, 'edit', 'First Timecode:'],
  [1016, 'check', 'Embed System Time as Timecode'],
  [1018, 'edit', 'Socket Buffer Size:', 'bytes'],
  [1027, 'edit', 'Send:', null, 'Timeout'],
  [1028, 'edit', 'Receive:', null, 'Timeout'],
  [1019, 'check', 'Use Authentication'],
  [1020, 'edit', 'Username:'],
  [1021, 'password', 'Password:'],
  [1022, 'edit', 'Attempts:', null, 'Reconnect:'],
  [1023, 'edit', 'Interval:', null, 'Reconnect:'],
  [1005, 'text', 'Output Buffer Size:', null, 'Statistics:'],
  [1006, 'text', 'Output Buffer Fillness:'],
  [1007, 'text', 'Output Bitrate:'],
  [1009, 'text', 'Buffered Audio Packets:'],
  [1008, 'text', 'Buffered Video Packets:'],
  [1010, 'text', 'Audio Bitrate:'],
  [1011, 'text', 'Video Bitrate:'],
].map(([id, kind, label, unit = null, group = null]) => ({id, kind, label, unit, group}));
// The figures the filter has no data for until the graph runs, with their names in /api/statistics.
const LIVE_FIGURES = {1006: 'outputBufferFillness', 1007: 'outputBitrate', 1008: 'bufferedVideoPackets',
                      1009: 'bufferedAudioPackets', 1010: 'audioBitrate', 1011: 'videoBitrate'};
const NO_FIGURE = 2147483647;
const STATUS = 1026, CONNECT = 1024, USE_AUTH = 1019, PASSWORD = 1021, OUTPUT_BITRATE = 1007;
const RUN_BOUND_MS = 90000, STEP_BOUND_MS = 10000, CONNECTED_WITHIN_MS = 1000, FIGURES_WITHIN_MS = 10000;

const [pageUrl, artifactDir] = process.argv.slice(2);
if (!pageUrl || !artifactDir) {
  console.error('usage: node page_test.mjs <page URL> <artifact dir>');
  process.exit(2);
}
const user = process.env.QV_UI_USER ?? '';
const password = process.env.QV_UI_PASSWORD ?? '';
const expected = JSON.parse(process.env.QV_UI_EXPECT ?? '{}');
const noDataUrl = process.env.QV_UI_NO_DATA;
const token = new URL(pageUrl).searchParams.get('token');
const started = Date.now();
let browser = null, profile = null, ownProfile = false;

function pass(what) { console.log(`ok   ${what}`); }
class CheckFailed extends Error {}
function check(condition, what, detail = '') {
  if (!condition) throw new CheckFailed(`FAIL ${what}${detail ? `: ${detail}` : ''}`);
  pass(what);
}
const show = (v) => JSON.stringify(v);

// The server's REST side, as a script would use it; the body as text (to look for the password
// in it) and as JSON.
async function api(method, route, body) {
  const headers = {'Content-Type': 'application/json'};
  if (token) headers['X-QV-Token'] = token;
  const response = await fetch(new URL(route, pageUrl), {method, headers, body: body === undefined ? undefined : JSON.stringify(body),
                                                         signal: AbortSignal.timeout(STEP_BOUND_MS)});
  const text = await response.text();
  let json = null;
  try { json = JSON.parse(text); } catch { /* judged by the caller */ }
  return {status: response.status, text, json};
}

// What the page shows of one control, read in the page.
const readControl = (page, id) => page.$eval(`#c${id}`, (e) => ({
  tag: e.tagName.toLowerCase(), type: e.type ?? '', value: e.value ?? '', checked: !!e.checked,
  text: e.textContent.trim(),
}));

async function run() {
  fs.mkdirSync(artifactDir, {recursive: true});
  profile = process.env.QV_UI_PROFILE;
  if (!profile) [profile, ownProfile] = [fs.mkdtempSync(path.join(os.tmpdir(), 'qv-chromium-')), true];
  const args = ['--disable-dev-shm-usage', '--no-first-run', '--no-default-browser-check', '--window-size=1280,1024'];
  // Chromium's sandbox cannot start as root; anyone else keeps it.
  if (process.getuid?.() === 0) args.push('--no-sandbox');
  browser = await puppeteer.launch({executablePath: '/usr/bin/chromium', headless: true, args, userDataDir: profile,
                                    timeout: STEP_BOUND_MS, protocolTimeout: STEP_BOUND_MS});
  pass(`browser ${await browser.version()}`);
  const page = await browser.newPage();
  await page.setViewport({width: 1280, height: 1024});
  page.setDefaultTimeout(STEP_BOUND_MS);
  const scriptErrors = [];
  page.on('pageerror', (e) => scriptErrors.push(e.message));

  const response = await page.goto(pageUrl, {waitUntil: 'load', timeout: STEP_BOUND_MS});
  check(response && response.status() === 200, 'the page loads', response ? `status ${response.status()}` : 'no response');
  const html = await response.text();
  await page.waitForFunction(() => document.body?.dataset.live === '1', {timeout: STEP_BOUND_MS})
    .catch(() => { throw new CheckFailed('FAIL the page receives its first state over the event stream (body data-live="1")'); });
  pass('the page receives its first state over the event stream');
  // Set once; it would be gone if anything below reloaded the page.
  await page.evaluate(() => { window.qvSameDocument = true; });
  check((await page.title()) === TITLE, `title "${TITLE}"`, show(await page.title()));

  // Each control is there, as the element its kind calls for.
  const elementFor = {edit: ['input', 'text'], password: ['input', 'password'], check: ['input', 'checkbox'],
                      button: ['button', null], text: ['span', null]};
  const wrong = [];
  for (const c of CONTROLS) {
    const e = await page.$(`#c${c.id}`);
    if (!e) { wrong.push(`c${c.id} missing`); continue; }
    const {tag, type} = await readControl(page, c.id);
    const [wantTag, wantType] = elementFor[c.kind];
    if (tag !== wantTag || (wantType && type !== wantType)) wrong.push(`c${c.id} is <${tag} type=${type}>, not <${wantTag}${wantType ? ` type=${wantType}` : ''}>`);
  }
  check(!wrong.length, `all ${CONTROLS.length} controls rendered as their kind`, wrong.join('; '));
  check(await page.$('#apply') !== null, 'an Apply button (#apply)');

  // Every label in the visible text, as often as the page has it (one label names two controls),
  // and each beside its own control: between the control before it and the one after it.
  const visible = await page.evaluate(() => document.body.innerText);
  const missing = [];
  for (const label of new Set(CONTROLS.map((c) => c.label))) {
    const want = CONTROLS.filter((c) => c.label === label).length;
    const have = visible.split(label).length - 1;
    if (have < want) missing.push(`"${label}" ${have}/${want}`);
  }
  check(!missing.length, 'every label in the visible text', missing.join(', '));
  const stray = await page.evaluate((controls) => {
    const isControl = (n) => n.nodeType === 1 && /^c\d+$/.test(n.id);
    const ids = [...document.querySelectorAll('[id]')].filter(isControl).map((e) => e.id);
    const textBetween = (from, to) => {  // visible text after `from` up to `to` (null: the end)
      const range = document.createRange();
      from ? range.setStartAfter(from) : range.setStart(document.body, 0);
      to ? range.setEndBefore(to) : range.setEnd(document.body, document.body.childNodes.length);
      return range.toString();
    };
    const bad = [];
    for (const c of controls) {
      const e = document.getElementById(`c${c.id}`);
      const at = ids.indexOf(e.id);
      const before = at > 0 ? document.getElementById(ids[at - 1]) : null;
      const after = at + 1 < ids.length ? document.getElementById(ids[at + 1]) : null;
      const near = textBetween(before, e) + e.textContent + (e.labels ? [...e.labels].map((l) => l.textContent).join(' ') : '');
      const following = textBetween(e, after);
      if (!near.includes(c.label) && !following.includes(c.label)) bad.push(`"${c.label}" not beside c${c.id}`);
      if (c.unit && !following.includes(c.unit)) bad.push(`"${c.unit}" not after c${c.id}`);
      const legend = e.closest('fieldset')?.querySelector('legend')?.textContent.trim() ?? null;
      if (c.group && legend !== c.group) bad.push(`c${c.id} in group ${JSON.stringify(legend)}, not "${c.group}"`);
    }
    return bad;
  }, CONTROLS);
  check(!stray.length, 'each label beside its control, units after theirs, groups framed with their legend', stray.join('; '));

  // What the controls show at first: the options rtmpwriter was started with.
  const differ = [];
  for (const [id, want] of Object.entries(expected)) {
    const got = await readControl(page, id);
    const have = typeof want === 'boolean' ? got.checked : got.tag === 'span' ? got.text : got.value;
    if (have !== want) differ.push(`c${id} ${show(have)}, expected ${show(want)}`);
  }
  check(!differ.length, `the controls show the options (${Object.keys(expected).length} checked)`, differ.join('; '));

  const status = async () => (await readControl(page, STATUS)).text;
  check((await status()) === 'Not Connected', 'Status reads "Not Connected" while held', show(await status()));
  // A stopped graph has no figures: the filter answers 0, or 2147483647 where it has reset one
  // and not measured it yet, which the page shows as "N/A". The page shows what the filter says.
  const figures = {};
  for (const id of Object.keys(LIVE_FIGURES)) figures[id] = (await readControl(page, id)).text;
  const held = await api('GET', '/api/statistics');
  check(held.status === 200 && held.json, 'GET /api/statistics answers', `${held.status} ${held.text.slice(0, 200)}`);
  const noData = Object.entries(LIVE_FIGURES).filter(([id, name]) => {
    const value = held.json[name];
    return !(value === 0 || value === NO_FIGURE) || figures[id] !== (value === NO_FIGURE ? 'N/A' : String(value));
  });
  check(!noData.length, 'while held, the live figures show the filter\'s "no data" (0, or "N/A" for 2147483647)',
        `page ${show(figures)}, filter ${held.text.slice(0, 400)}`);

  // The password: set, never sent back.
  const noPassword = async (when) => {
    const state = await api('GET', '/ui/state');
    check(state.status === 200 && state.json, `${when}: /ui/state answers JSON`, `${state.status} ${state.text.slice(0, 200)}`);
    const places = {'the page source': html, 'the live document': await page.content(), '/ui/state': state.text,
                    'the password field': (await readControl(page, PASSWORD)).value};
    const leaks = Object.entries(places).filter(([, text]) => text.includes(password)).map(([where]) => where);
    check(password.length > 0 && !leaks.length, `${when}: the password appears nowhere in the browser`, leaks.join(', '));
    return state.json;
  };
  const state = await noPassword('at first');
  const pwItem = (state.controls ?? []).find((c) => c.id === PASSWORD);
  check(pwItem && pwItem.set === true && !('text' in pwItem && pwItem.text), '/ui/state says the password is set, without it', show(pwItem));

  // The user name as the filter holds it: under whichever option name has the user's value.
  let options = await api('GET', '/api/options');
  check(options.status === 200 && options.json && !options.text.includes(password),
        'GET /api/options answers, without the password', `${options.status} ${options.text.slice(0, 300)}`);
  const userKey = Object.keys(options.json).find((k) => options.json[k] === user);
  check(user && userKey !== undefined && options.json.passwordSet === true, `the filter holds user "${user}" and a password`,
        options.text.slice(0, 300));
  check((await readControl(page, USE_AUTH)).checked && (await readControl(page, 1020)).value === user,
        '"Use Authentication" starts checked, the user name filled');

  await page.click(`#c${USE_AUTH}`);
  check(!(await readControl(page, USE_AUTH)).checked, 'unchecking "Use Authentication"');
  const [applied] = await Promise.all([
    page.waitForResponse((r) => new URL(r.url()).pathname === '/ui/apply' && r.request().method() === 'POST', {timeout: STEP_BOUND_MS}),
    page.click('#apply'),
  ]);
  check(applied.status() === 200, 'Apply is accepted', `${applied.status()} ${(await applied.text()).slice(0, 300)}`);
  options = await api('GET', '/api/options');
  check(options.status === 200 && options.json?.[userKey] === '', `Apply cleared the user name (GET /api/options "${userKey}")`,
        options.text.slice(0, 300));
  await noPassword('after Apply');

  // Connect: the held graph connects at once, the status follows within a second.
  const clicked = Date.now();
  await page.click(`#c${CONNECT}`);
  const turned = await page.waitForFunction((id) => document.getElementById(`c${id}`).textContent.trim() === 'Connected',
                                            {timeout: CONNECTED_WITHIN_MS, polling: 'mutation'}, STATUS)
    .then(() => true, () => false);
  check(turned, `Status turns "Connected" within ${CONNECTED_WITHIN_MS} ms of Connect`,
        `${show(await status())} after ${Date.now() - clicked} ms`);
  console.log(`     (after ${Date.now() - clicked} ms)`);

  // The figures move on their own while it streams: distinct numbers in Output Bitrate, pushed
  // to the same document.
  await page.evaluate((id) => {
    const e = document.getElementById(`c${id}`);
    window.qvBitrates = new Set();
    const note = () => { if (/^[1-9]\d*$/.test(e.textContent.trim())) window.qvBitrates.add(e.textContent.trim()); };
    note();
    new MutationObserver(note).observe(e, {childList: true, characterData: true, subtree: true});
  }, OUTPUT_BITRATE);
  const moved = await page.waitForFunction(() => window.qvBitrates.size >= 2, {timeout: FIGURES_WITHIN_MS, polling: 'mutation'})
    .then(() => true, () => false);
  const seen = await page.evaluate(() => [...window.qvBitrates]);
  const filterSays = moved ? '' : ` (the filter: ${(await api('GET', '/api/status')).text} ${(await api('GET', '/api/statistics')).text})`;
  check(moved, `Output Bitrate shows at least two bitrates within ${FIGURES_WITHIN_MS} ms`, show(seen) + filterSays);
  console.log(`     (${show(seen)})`);
  check(await page.evaluate(() => window.qvSameDocument === true), 'without a reload of the page');
  for (const id of Object.keys(LIVE_FIGURES)) figures[id] = (await readControl(page, id)).text;
  console.log(`     figures now ${show(figures)}`);
  check((await status()) === 'Connected', 'still "Connected" while streaming', show(await status()));

  const shot = path.join(artifactDir, 'page.png');
  await page.screenshot({path: shot, fullPage: true});
  check(fs.statSync(shot).size > 0, `screenshot ${shot}`);
  check(!scriptErrors.length, 'no script error on the page', scriptErrors.join('; '));

  // A writer that started without its server has run no interleave pass yet: its queue lengths
  // are the filter's 2147483647, which the page shows as "N/A".
  if (noDataUrl) {
    const other = await browser.newPage();
    other.setDefaultTimeout(STEP_BOUND_MS);
    const r = await other.goto(noDataUrl, {waitUntil: 'load', timeout: STEP_BOUND_MS});
    check(r && r.status() === 200, 'the page of a writer whose server is down loads');
    const shown = (ids) => ids.every((id) => document.getElementById(`c${id}`)?.textContent.trim() === 'N/A');
    const na = await other.waitForFunction(shown, {timeout: STEP_BOUND_MS, polling: 'mutation'}, [1008, 1009])
      .then(() => true, () => false);
    const texts = {};
    for (const id of [STATUS, ...Object.keys(LIVE_FIGURES)]) texts[id] = (await readControl(other, id)).text;
    check(na && texts[STATUS] === 'Not Connected', 'before data, Buffered Video and Audio Packets show "N/A"', show(texts));
    await other.close();
  }
}

const watchdog = setTimeout(() => {
  console.log(`FAIL the run did not end within ${RUN_BOUND_MS} ms`);
  browser?.process()?.kill('SIGKILL');
  process.exit(1);
}, RUN_BOUND_MS);
let code = 0;
try {
  await run();
  console.log(`all checks passed in ${Date.now() - started} ms`);
} catch (e) {
  console.log(e instanceof CheckFailed ? e.message : `FAIL ${e.stack ?? e}`);
  code = 1;
} finally {
  await Promise.race([browser?.close(), new Promise((done) => setTimeout(done, 5000))]).catch(() => {});
  browser?.process()?.kill('SIGKILL');
  if (ownProfile) fs.rmSync(profile, {recursive: true, force: true});
  clearTimeout(watchdog);
}
process.exit(code);
