// A person with a browser, for the viewer test: headless Chromium, driven
// over its DevTools protocol, opens the study list, follows a study's
// viewer link and waits until the viewer has drawn an image.
//
//   node browse.js BASEURL STUDYUID SCREENSHOT.png
// (with NODE_PATH at the npm packages that scripts/install-deps fetches:
// node before 22 has no WebSocket of its own, so the ws package stands in)
// Prints one JSON document: {"studies": [uids on the page], "href": the
// link followed, "drawn": true/false, "pixels": lit pixels counted}.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocketClient = globalThis.WebSocket || require('ws');

const [base, studyUid, screenshot] = process.argv.slice(2);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-chromium-'));
const browser = spawn('chromium', [
  '--headless=new', '--no-sandbox', '--disable-gpu', '--use-angle=swiftshader',
  '--enable-unsafe-swiftshader', '--no-first-run', '--disable-extensions',
  '--remote-debugging-port=0', '--user-data-dir=' + profile, '--window-size=1280,900',
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
    return r.result && r.result.result ? r.result.result.value : undefined;
  };

  await send('Page.enable');
  await send('Page.navigate', { url: base + '/' });
  let studies = [];
  for (let i = 0; i < 50 && studies.length === 0; i++) {
    await sleep(200);
    studies = (await evaluate(
      `Array.from(document.querySelectorAll('tr.study')).map(r => r.dataset.uid)`)) || [];
  }
  const href = await evaluate(
    `(() => { const a = document.querySelector('tr.study[data-uid="${studyUid}"] a.view');
              if (!a) return null; const h = a.href; a.click(); return h; })()`);
  // The viewer draws into canvases; an image is there once one of them has
  // many pixels that are not black.
  const countLit = `(() => {
      let best = 0;
      for (const c of document.querySelectorAll('canvas')) {
        if (c.width < 64 || c.height < 64) continue;
        let ctx = null;
        try { ctx = c.getContext('2d'); } catch (e) { continue; }
        if (!ctx) continue;
        const d = ctx.getImageData(0, 0, c.width, c.height).data;
        let lit = 0;
        for (let i = 0; i < d.length; i += 4) if (d[i] + d[i + 1] + d[i + 2] > 30) lit++;
        best = Math.max(best, lit);
      }
      return best; })()`;
  let pixels = 0;
  for (let i = 0; href && i < 120 && pixels < 1000; i++) {
    await sleep(500);
    pixels = (await evaluate(countLit)) || 0;
  }
  if (pixels >= 1000) await sleep(500);
  const shot = await send('Page.captureScreenshot', { format: 'png' });
  if (shot.result) fs.writeFileSync(screenshot, Buffer.from(shot.result.data, 'base64'));
  ws.close();
  return { studies, href, drawn: pixels >= 1000, pixels };
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
