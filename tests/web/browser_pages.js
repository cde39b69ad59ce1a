// Staff at the pages, for the browser test of the pages (test_pages_browser.py):
// one step per run, driven by clicks in headless Chromium (cdp.js), with a
// screenshot after each action.
//
//   node browser_pages.js SCENARIO.json
// SCENARIO: {"base": URL, "shots": directory, "width": window width (1400),
//            "step": one of
//   "search"   {"name": text}: the study page's search for a name
//   "worklist" {"fields": {name: value}, "bad": {name: value}}: the new
//              entry form sent with the bad values, then (fixed) sent
//              again, then the entry edited with the bad values
//   "forward"  {"destination": AE title}: Retry all of the destination,
//              then the page until its queue is empty
//   "qr"       {"peer": AE title, "name": text, "study": UID}: search the
//              peer, tick the study, retrieve it, wait for the end}
// Prints one JSON document with what the pages showed.
const fs = require('fs');
const cdp = require('./cdp.js');

const scenario = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const q = JSON.stringify;

async function search(b) {
  await b.go(scenario.base + '/', `document.getElementById('search-go')`);
  const before = Number(await b.evaluate(`document.body.dataset.searches || 0`));
  await b.evaluate(`(() => { document.getElementById('f-name').value = ${q(scenario.name)};
                             document.getElementById('search-go').click(); })()`);
  await b.until(`Number(document.body.dataset.searches || 0) > ${before}`, 'search results');
  const out = await b.evaluate(`({ total: Number(document.getElementById('results').dataset.total),
      names: Array.from(document.querySelectorAll('tr.study .name')).map((n) => n.textContent) })`);
  out.shot = await b.shot('search-non-ascii');
  return out;
}

// The values of a form's named inputs.
const formValues = (b, form) => b.evaluate(`Object.fromEntries(Array.from(
    document.querySelectorAll('${form} input[name]:not([type=hidden])')).map((i) => [i.name, i.value]))`);
const fill = (b, form, fields) => b.evaluate(`(() => { const f = ${q(fields)};
    for (const k in f) document.querySelector('${form} input[name="' + k + '"]').value = f[k]; })()`);
const message = (b) => b.evaluate(`(document.querySelector('p.message') || {}).textContent || ''`);

async function worklist(b) {
  const out = {};
  await b.go(scenario.base + '/worklist', `document.getElementById('add')`);
  await fill(b, '#add', Object.assign({}, scenario.fields, scenario.bad));
  await b.clickAndLoad('#add button[type=submit]', `document.getElementById('add')`);
  out.addRefused = { message: await message(b), values: await formValues(b, '#add'),
                     shot: await b.shot('worklist-add-refused') };
  await fill(b, '#add', scenario.fields);
  await b.clickAndLoad('#add button[type=submit]', `document.querySelector('tr.entry a.edit')`);
  out.shots = [await b.shot('worklist-added')];
  await b.clickAndLoad('tr.entry a.edit', `document.getElementById('edit')`);
  out.editForm = await formValues(b, '#edit');
  await fill(b, '#edit', scenario.bad);
  await b.clickAndLoad('#edit button[type=submit]', `document.getElementById('edit')`);
  out.editRefused = { message: await message(b), values: await formValues(b, '#edit'),
                      shot: await b.shot('worklist-edit-refused') };
  // Nothing wider than the window (at a tablet's width too).
  out.overflow = await b.evaluate(`document.documentElement.scrollWidth > window.innerWidth`);
  return out;
}

async function forward(b) {
  const out = {};
  const groups = `Array.from(document.querySelectorAll('#groups tr.group')).map((r) => ({
      cls: r.className, cells: Array.from(r.cells).map((c) => c.textContent) }))`;
  await b.go(scenario.base + '/forward', `document.getElementById('destinations')`);
  out.before = await b.evaluate(groups);
  out.shots = [await b.shot('forward-outage')];
  const row = `tr.destination[data-destination=${q(scenario.destination)}]`;
  await b.clickAndLoad(`${row} form[action="/forward/retry-all"] button`,
                       `document.getElementById('destinations')`);
  out.afterRetry = await b.evaluate(groups);
  // The page as a person would look again: until the queue is empty.
  for (let i = 0; i < 60; i++) {
    await b.go(scenario.base + '/forward', `document.getElementById('destinations')`);
    if (await b.evaluate(`document.querySelectorAll('#groups tr.group').length === 0`)) break;
    await cdp.sleep(500);
  }
  out.after = await b.evaluate(groups);
  out.history = await b.evaluate(`Array.from(document.querySelectorAll('#history tr.finished'))
      .map((r) => Array.from(r.cells).map((c) => c.textContent))`);
  out.shots.push(await b.shot('forward-delivered'));
  out.overflow = await b.evaluate(`document.documentElement.scrollWidth > window.innerWidth`);
  return out;
}

async function qr(b) {
  const out = {};
  await b.go(scenario.base + '/retrieve', `document.getElementById('qr-search')`);
  await b.evaluate(`(() => { document.querySelector('#qr-search select[name=peer]').value = ${q(scenario.peer)};
      document.querySelector('#qr-search input[name=name]').value = ${q(scenario.name)}; })()`);
  await b.clickAndLoad('#qr-go', `document.getElementById('qr-results')`);
  out.found = await b.evaluate(`Array.from(document.querySelectorAll('#qr-results tr[data-study]'))
      .map((r) => r.dataset.study)`);
  out.shots = [await b.shot('qr-found')];
  await b.evaluate(`document.querySelector('#qr-results tr[data-study=${q(scenario.study)}] input').click()`);
  await b.clickAndLoad('#qr-retrieve', `document.getElementById('retrievals')`);
  // The page's own polling shows the end.
  await b.until(`document.querySelector('#retrievals tr.move.done, #retrievals tr.move.failed')`,
                'the retrieve to end');
  out.move = await b.evaluate(`(() => { const r = document.querySelector('#retrievals tr.move');
      return { cls: r.className, stored: r.querySelector('.completed').textContent,
               failed: r.querySelector('.failed').textContent,
               progress: r.querySelector('progress').value + '/' + r.querySelector('progress').max }; })()`);
  out.shots.push(await b.shot('qr-retrieved'));
  return out;
}

async function main() {
  const b = await cdp.open(scenario.shots, scenario.width || 1400);
  try {
    const steps = { search, worklist, forward, qr };
    return await steps[scenario.step](b);
  } finally {
    b.close();
  }
}

main().then((r) => {
  process.stdout.write(JSON.stringify(r));
}, (e) => {
  process.stderr.write(String(e && e.stack ? e.stack : e) + '\n');
  process.exitCode = 1;
});
