// Headless Chromium over its DevTools protocol for the browser tests (the
// ws package stands in for node's missing WebSocket): start it, and drive
// one page with evaluate, until, shot, files and close.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocketClient = globalThis.WebSocket || require('ws');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function open(shotsDir, width = 1400, height = 1000) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-chromium-'));
  const browser = spawn('chromium', [
    '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-extensions',
    '--remote-debugging-port=0', '--user-data-dir=' + profile,
    `--window-size=${width},${height}`, 'about:blank',
  ], { stdio: ['ignore', 'ignore', 'pipe'], detached: true });
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
  const target = targets.find((t) => t.type === 'page');
  const ws = new WebSocketClient(target.webSocketDebuggerUrl);
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
      let v;
      try {
        v = await evaluate(expression);
      } catch (e) {
        v = undefined; // a page being replaced by the next one
      }
      if (v) return v;
      await sleep(100);
    }
    const seen = await evaluate(`document.body.innerText.slice(0, 3000)`);
    throw new Error('timed out waiting for ' + what + '; the page shows:\n' + seen);
  };
  const shot = async (name) => {
    const s = await send('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true });
    const file = path.join(shotsDir, name + '.png');
    if (s.result) fs.writeFileSync(file, Buffer.from(s.result.data, 'base64'));
    return file;
  };
  // Opens url and waits for the page's load (and expression, if given).
  const go = async (url, expression) => {
    await evaluate(`window.__veltoOld = true`).catch(() => {});
    await send('Page.navigate', { url });
    await until(`!window.__veltoOld && document.readyState === 'complete'` +
                (expression ? ` && (${expression})` : ''), url);
  };
  // Clicks the element of selector and waits for the next page's load.
  const clickAndLoad = async (selector, expression) => {
    await evaluate(`window.__veltoOld = true`);
    await evaluate(`document.querySelector(${JSON.stringify(selector)}).click()`);
    await until(`!window.__veltoOld && document.readyState === 'complete'` +
                (expression ? ` && (${expression})` : ''), 'the page after ' + selector);
  };
  const close = () => {
    ws.close();
    browser.on('exit', () =>
      fs.rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 50 }));
    try {
      process.kill(-browser.pid, 'SIGKILL');
    } catch (e) {
      browser.kill('SIGKILL');
    }
  };
  await send('Page.enable');
  return { send, evaluate, until, shot, go, clickAndLoad, close, sleep };
}

module.exports = { open, sleep };
