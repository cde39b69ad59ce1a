// A member of staff at the study page, for the browser test: headless
// Chromium, driven over its DevTools protocol (the ws package stands in for
// node's missing WebSocket, as in browse.js), clicks through a search, a
// send, a delete and the upload of a folder, and saves a screenshot after
// each.
//
//   node browser_actions.js SCENARIO.json
// SCENARIO: {"base": URL, "shots": directory, "search": name prefix,
//            "send": {"study": uid, "destination": AE title} or null,
//            "deleteName": name prefix of the study to delete,
//            "folder": directory to upload (twice with uploadName),
//            "uploadName": name prefix of the uploaded study, searched first}
// Prints one JSON document with what the page showed at each step.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocketClient = globalThis.WebSocket || require('ws');

const scenario = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-chromium-'));
const browser = spawn('chromium', [
  '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-extensions',
  '--remote-debugging-port=0', '--user-data-dir=' + profile, '--window-size=1400,1000',
  'about:blank',
], { stdio: ['ignore', 'ignore', 'pipe'], detached: true });

function devtoolsPort() {
  return new Promise((resolve, reject) => {
    let text = '';
    browser.stderr.on('data', (d) => {
      text += d;
      const m = /DevTools listening on ws:\/\/127\.0\.0\.1:(\d+)\//.exec(text);
      if (m) resolve(m[1]);
    });
    browser.on('exit', () => reject(new Error('chromium ended: ' + text)));
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const port = await devtoolsPort();
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  const page = targets.find((t) => t.type === 'page');
  const ws = new WebSocketClient(page.webSocketDebuggerUrl);
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
  // Waits (at most 30 s) until expression is truthy; returns its value.
  const until = async (expression, what) => {
    for (let i = 0; i < 300; i++) {
      const v = await evaluate(expression);
      if (v) return v;
      await sleep(100);
    }
    const seen = await evaluate(`document.body.innerText.slice(0, 3000)`);
    throw new Error('timed out waiting for ' + what + '; the page shows:\n' + seen);
  };
  const shot = async (name) => {
    const s = await send('Page.captureScreenshot', { format: 'png' });
    const file = path.join(scenario.shots, name + '.png');
    if (s.result) fs.writeFileSync(file, Buffer.from(s.result.data, 'base64'));
    return file;
  };
  // A search as a person makes it: type the prefix, click Search.
  const search = async (prefix) => {
    const before = Number(await evaluate(`document.body.dataset.searches || 0`));
    await evaluate(`(() => { const f = document.getElementById('f-name');
                              f.value = ${JSON.stringify(prefix)};
                              document.getElementById('search-go').click(); })()`);
    await until(`Number(document.body.dataset.searches || 0) > ${before}`, 'search results');
    return evaluate(`({ ms: Number(document.body.dataset.searchMs),
        total: Number(document.getElementById('results').dataset.total),
        rows: Array.from(document.querySelectorAll('tr.study')).map((r) => ({
          uid: r.dataset.uid, name: r.querySelector('.name').textContent,
          images: r.querySelector('.images').textContent })) })`);
  };
  const out = { shots: [] };

  await send('Page.enable');
  await send('Page.navigate', { url: scenario.base + '/' });
  await until(`document.readyState === 'complete' && document.getElementById('search-go')`,
              'the study page');
  out.initialTotal = await evaluate(`Number(document.getElementById('results').dataset.total)`);

  // Search: one study among many by a name prefix.
  out.search = await search(scenario.search);
  out.shots.push(await shot('1-search'));

  // Send the study found, through the send dialog.
  if (scenario.send) {
    await evaluate(`document.querySelector('tr.study[data-uid="${scenario.send.study}"] button.send').click()`);
    await until(`document.getElementById('send').open`, 'the send dialog');
    await evaluate(`document.getElementById('send-dest').value = ${JSON.stringify(scenario.send.destination)}`);
    out.destinations = await evaluate(
      `Array.from(document.querySelectorAll('#send-dest option')).map((o) => o.value)`);
    out.shots.push(await shot('2-send-dialog'));
    await evaluate(`document.getElementById('send-go').click()`);
    const state = await until(`(() => { const p = document.querySelector('p[data-kind="send"]');
        if (!p || !p.dataset.state) return null;
        const fin = ['done', 'completed', 'complete', 'succeeded', 'failed', 'error', 'cancelled',
                     'canceled', 'finished', 'unavailable', 'refused'];
        return fin.includes(p.dataset.state) ? p.dataset.state : null; })()`, 'the send to end');
    out.send = await evaluate(`(() => { const p = document.querySelector('p[data-kind="send"]');
        return { state: p.dataset.state, status: Number(p.dataset.status), text: p.textContent,
                 failed: p.classList.contains('failed') }; })()`);
    out.send.state = state;
    out.shots.push(await shot('3-send-progress'));
  }

  // Delete another study: find it, click Delete, confirm in the dialog.
  const found = await search(scenario.deleteName);
  out.deleteSearch = found;
  const victim = found.rows.length === 1 ? found.rows[0].uid : null;
  if (victim) {
    await evaluate(`document.querySelector('tr.study[data-uid="${victim}"] button.delete').click()`);
    await until(`document.getElementById('confirm').open`, 'the confirmation');
    out.confirmText = await evaluate(`document.getElementById('confirm-text').textContent`);
    out.shots.push(await shot('4-delete-confirm'));
    await evaluate(`document.getElementById('confirm-yes').click()`);
    await until(`document.querySelector('p[data-kind="delete"]')`, 'the delete to end');
    out.delete = await evaluate(`(() => { const p = document.querySelector('p[data-kind="delete"]');
        return { status: Number(p.dataset.status), text: p.textContent, uid: ${JSON.stringify(victim)},
                 rowLeft: !!document.querySelector('tr.study[data-uid="${victim}"]') }; })()`);
    out.shots.push(await shot('5-deleted'));
  }

  // Upload a folder: the folder input gets the directory, as when a person
  // picks it, then Upload; the list shows a search for the uploaded name
  // (nothing yet), which the upload refreshes. Then the same folder again.
  if (scenario.uploadName) out.beforeUpload = await search(scenario.uploadName);
  const uploadFolder = async () => {
    const doc = await send('DOM.getDocument', {});
    const node = await send('DOM.querySelector', { nodeId: doc.result.root.nodeId,
                                                   selector: '#upload-folder' });
    await send('DOM.setFileInputFiles', { nodeId: node.result.nodeId, files: [scenario.folder] });
    const chosen = await until(`document.getElementById('upload-folder').files.length`,
                               'the folder chosen');
    await evaluate(`document.getElementById('upload-go').click()`);
    await until(`document.getElementById('upload-summary').dataset.done === 'yes'`, 'the upload');
    const result = await evaluate(`(() => { const s = document.getElementById('upload-summary');
        return { stored: Number(s.dataset.stored), failed: Number(s.dataset.failed),
                 already: Number(s.dataset.already), text: s.textContent, className: s.className,
                 total: Number(document.getElementById('results').dataset.total),
                 rows: Array.from(document.querySelectorAll('tr.study')).map((r) => r.dataset.uid),
                 files: Array.from(document.querySelectorAll('#upload-results li')).map((li) => ({
                   file: li.dataset.file, ok: li.className === 'ok', state: li.className,
                   text: li.textContent })) }; })()`);
    return [chosen, result];
  };
  [out.chosen, out.upload] = await uploadFolder();
  out.shots.push(await shot('6-uploaded'));
  if (scenario.uploadName) {
    [, out.reupload] = await uploadFolder();
    out.shots.push(await shot('7-uploaded-again'));
  }
  ws.close();
  return out;
}

main().then((r) => {
  process.stdout.write(JSON.stringify(r));
}, (e) => {
  process.stderr.write(String(e && e.stack ? e.stack : e) + '\n');
  process.exitCode = 1;
}).finally(() => {
  // The profile is removed once the browser has ended and stopped writing it.
  // Chromium's helper processes write the profile too, and outlive a
  // killed main process: the whole process group (the browser was started
  // as its leader) is killed. A file a helper was writing at that moment
  // can still appear while the tree is removed, hence rmSync's own retries.
  browser.on('exit', () =>
    fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 50 }));
  try {
    process.kill(-browser.pid, 'SIGKILL');
  } catch (e) {
    browser.kill('SIGKILL');
  }
});
