// The study list's edit dialog in headless Chromium, for the change tests:
// a study's patient name and an invalid birth date typed and saved (the
// refusal shows in the dialog, which keeps both), the date corrected and
// saved (the row shows the new name), then the dialog opened again with
// the change in its log. DevTools as in browser_actions.js.
//
//   node browser_edit.js BASE_URL STUDY_UID
// Prints one JSON document with what the page showed at each step.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocketClient = globalThis.WebSocket || require('ws');

const [base, study] = process.argv.slice(2);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-chromium-'));
const browser = spawn('chromium', [
  '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-extensions',
  '--remote-debugging-port=0', '--user-data-dir=' + profile, 'about:blank',
], { stdio: ['ignore', 'ignore', 'pipe'], detached: true });

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const port = await new Promise((resolve, reject) => {
    let text = '';
    browser.stderr.on('data', (d) => {
      text += d;
      const m = /DevTools listening on ws:\/\/127\.0\.0\.1:(\d+)\//.exec(text);
      if (m) resolve(m[1]);
    });
    browser.on('exit', () => reject(new Error('chromium ended: ' + text)));
  });
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  const ws = new WebSocketClient(targets.find((t) => t.type === 'page').webSocketDebuggerUrl);
  await new Promise((r) => ws.addEventListener('open', r));
  let nextId = 1;
  const waiting = new Map();
  ws.addEventListener('message', (ev) => {
    const msg = JSON.parse(ev.data);
    if (msg.id && waiting.has(msg.id)) {
      waiting.get(msg.id)(msg);
      waiting.delete(msg.id);
    }
  });
  const send = (method, params = {}) => new Promise((resolve) => {
    const id = nextId++;
    waiting.set(id, resolve);
    ws.send(JSON.stringify({ id, method, params }));
  });
  const evaluate = async (expression) => {
    const r = await send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true });
    if (r.result && r.result.exceptionDetails) throw new Error(JSON.stringify(r.result.exceptionDetails));
    return r.result && r.result.result ? r.result.result.value : undefined;
  };
  const until = async (expression, what) => {
    for (let i = 0; i < 200; i++) {
      const v = await evaluate(expression);
      if (v) return v;
      await sleep(100);
    }
    throw new Error('timed out waiting for ' + what + ': ' +
                    await evaluate(`document.body.innerText.slice(0, 2000)`));
  };
  const row = `document.querySelector('tr.study[data-uid="${study}"]')`;
  const open = async () => {
    await evaluate(`${row}.querySelector('button.edit').click()`);
    await until(`document.getElementById('edit').open`, 'the edit dialog');
  };
  const type = (field, value) =>
    evaluate(`document.getElementById('e-${field}').value = ${JSON.stringify(value)}`);
  const out = {};
  await send('Page.enable');
  await send('Page.navigate', { url: base + '/' });
  await until(`document.readyState === 'complete' && ${row}`, 'the study list');
  out.initialRow = await evaluate(`${row}.querySelector('.name').textContent`);
  await open();
  out.initialName = await evaluate(`document.getElementById('e-PatientName').value`);
  await type('PatientName', 'EDITED^NAME');
  await type('PatientBirthDate', '1999-13-45');
  await evaluate(`document.getElementById('edit-save').click()`);
  out.refusal = await until(`(() => { const t = document.getElementById('edit-error').textContent;
      return t.startsWith('Not changed') ? t : null; })()`, 'the refusal');
  out.keptOpen = await evaluate(`document.getElementById('edit').open`);
  out.keptName = await evaluate(`document.getElementById('e-PatientName').value`);
  out.keptDate = await evaluate(`document.getElementById('e-PatientBirthDate').value`);
  await type('PatientBirthDate', '19990101');
  await evaluate(`document.getElementById('edit-save').click()`);
  out.message = await until(`(() => { const p = document.querySelector('p[data-kind="edit"]');
      return p ? p.textContent : null; })()`, 'the change');
  out.rowName = await until(`(() => { const r = ${row};
      const n = r && r.querySelector('.name').textContent;
      return n && n !== ${JSON.stringify(out.initialRow)} ? n : null; })()`, 'the row');
  await open();
  out.log = await until(`(() => { const l = [...document.querySelectorAll('#edit-log li')];
      return l.length ? l.map((li) => li.textContent) : null; })()`, 'the change log');
  ws.close();
  return out;
}

main().then((r) => {
  process.stdout.write(JSON.stringify(r));
}, (e) => {
  process.stderr.write(String(e && e.stack ? e.stack : e) + '\n');
  process.exitCode = 1;
}).finally(() => {
  browser.on('exit', () =>
    fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 50 }));
  try {
    process.kill(-browser.pid, 'SIGKILL');
  } catch (e) {
    browser.kill('SIGKILL');
  }
});
