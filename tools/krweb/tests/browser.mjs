// The web front end in a real browser (headless Chromium through puppeteer-core): logging in,
// running a template to the end, a refused filter, re-processing a stored report with a new sort,
// the CSV download against krreport's own, cancelling a long report, and screenshots of the
// pages. Started by browser_test.sh, which lays the installation and starts the programs.
import {execFileSync} from 'node:child_process';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {createRequire} from 'node:module';

const require = createRequire(process.env.NPM_DIR + '/');
const puppeteer = require('puppeteer-core');
const base = process.env.WEB_URL.replace(/\/$/, '');
const shots = process.env.SHOT_DIR || '';
const krreport = process.env.KRREPORT;

let failures = 0;
function check(ok, what) {
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
  if (!ok) failures++;
}
async function shot(page, name) {
  if (!shots) return;
  for (const [w, h, tag] of [[1280, 900, 'wide'], [390, 844, 'phone']]) {
    await page.setViewport({width: w, height: h});
    await page.screenshot({path: join(shots, `${name}-${tag}.png`), fullPage: true});
  }
  await page.setViewport({width: 1280, height: 900});
}
// Submits the form the button is in and waits for the page it leads to.
async function submit(page, selector) {
  await Promise.all([page.waitForNavigation(), page.click(selector)]);
}
async function follow(page, selector) {
  await page.goto(await page.$eval(selector, (a) => a.href));
}
async function runToEnd(page) {
  await page.waitForFunction(
      () => ['done', 'failed', 'cancelled'].includes(document.getElementById('run').dataset.state),
      {timeout: 90000});
  return page.$eval('#run', (e) => e.dataset.state);
}
async function fetchText(page, url) {
  return page.evaluate((u) => fetch(u).then((r) => r.text()), url);
}

const profile = mkdtempSync(join(tmpdir(), 'krweb-chromium-'));
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  userDataDir: profile,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = await browser.newPage();
  await page.setViewport({width: 1280, height: 900});

  // Logging in; a page asked for before is refused and leads to the login form.
  await page.goto(base + '/stored');
  check(page.url().endsWith('/login'), 'a page without login leads to the login form');
  await shot(page, 'login');
  await page.type('input[name=user]', 'admin');
  await page.type('input[name=password]', 'wrong');
  await submit(page, 'form.login button');
  check((await page.content()).includes('Wrong user name or password'), 'a wrong password is refused');
  await page.type('input[name=user]', 'admin');
  await page.type('input[name=password]', process.env.WEB_PASSWORD);
  await submit(page, 'form.login button');
  check(await page.$('button[data-summary=weeklysummary]') !== null, 'logged in: the summaries');
  await shot(page, 'summaries');
  // A summary run anew from the front page, then shown there.
  await submit(page, 'button[data-summary=weeklysummary]');
  check(await runToEnd(page) === 'done', 'the summary run ends done');
  await page.goto(base + '/');
  check(await page.$('#summary-weeklysummary iframe.summary-frame') !== null,
        'the front page frames the summary it made');
  await shot(page, 'summaries-made');
  await page.goto(base + '/jobs');
  check((await page.$eval('#jobs', (t) => t.textContent)).includes('nightly'), 'the jobs page lists the job');
  await shot(page, 'jobs');
  await page.goto(base + '/templates');
  check(await page.$('button[data-template=dailyfailures]') !== null, 'logged in: the templates');
  await shot(page, 'home');

  // A template run to the end, then its report.
  await page.click('button[data-template=weeklyclients]');
  await page.waitForSelector('#run');
  check(await runToEnd(page) === 'done', 'the template run ends done');
  check(await page.$eval('#bar', (b) => b.value) === 100, 'the progress bar reaches the end');
  await shot(page, 'run');
  await follow(page, '#openlink');
  check(await page.$('iframe#report') !== null, 'the HTML report is shown in its frame');
  const frame = await (await page.$('iframe#report')).contentFrame();
  await frame.waitForSelector('table');
  check((await frame.content()).includes('<table'), 'the framed report has its table');
  await shot(page, 'report');

  // The form refuses a filter the library does not accept, with its message and position.
  await page.goto(base + '/form?class=Jobs');
  await shot(page, 'form');
  await page.type('input[name=include]', '%status == Failed');
  await submit(page, '#run');
  const refusal = await page.$eval('#refusal', (e) => e.textContent);
  check(/Include filter refused: .+/.test(refusal) && refusal.includes('At character'),
        'a bad filter shows the library\'s message and position: ' + refusal);
  await shot(page, 'refused');

  // A stored report re-processed with a new sort: the order follows the new sort.
  await page.goto(base + '/form?class=Devices');
  await page.select('select[name=type]', 'csv');
  await page.click('input[name=store]');
  await submit(page, '#run');
  check(await runToEnd(page) === 'done', 'a stored report is produced');
  await page.goto(base + '/stored');
  await shot(page, 'stored');
  await follow(page, '#stored tr:nth-child(2) a');
  await shot(page, 'stored-detail');
  await page.type('input[name=sort]', '%name-');
  await submit(page, '#reprocess');
  check(await runToEnd(page) === 'done', 'the re-processing ends done');
  const csv = await fetchText(page, await page.$eval('#csv', (a) => a.href));
  const names = csv.split('\n').filter((l) => /^\d+,/.test(l)).map((l) => l.split(',')[1]);
  const sorted = [...names].sort().reverse();
  check(names.length > 1 && JSON.stringify(names) === JSON.stringify(sorted),
        're-processed with %name- comes in descending name order');

  // The CSV download is what krreport writes.
  await page.goto(base + '/form?class=Clients');
  await page.select('select[name=type]', 'csv');
  await submit(page, '#run');
  check(await runToEnd(page) === 'done', 'the Clients report ends done');
  const downloaded = await fetchText(page, await page.$eval('#csv', (a) => a.href));
  const expected = execFileSync(krreport, ['run', '--class', 'Clients', '--type', 'csv', '-o', '-',
                                           '--quiet']).toString();
  // The header's "Made ..." line names the second each was made in.
  const records = (t) => t.split('\n').filter((l) => !l.startsWith('Made ')).join('\n');
  check(downloaded.length > 0 && records(downloaded) === records(expected),
        'the CSV download equals krreport\'s');

  // A long report cancelled; the provider then serves the next one.
  await page.goto(base + '/form?class=Jobs');
  await page.select('select[name=type]', 'text');
  await submit(page, '#run');
  // Cancelled while it fetches: the bar has moved into the fetch stage.
  await page.waitForFunction(() => document.getElementById('bar').value >= 5, {timeout: 30000});
  if (shots) await page.screenshot({path: join(shots, 'progress-wide.png')});
  await submit(page, '#cancel');
  check(await runToEnd(page) === 'cancelled', 'the long report is cancelled');
  await shot(page, 'cancelled');
  await page.goto(base + '/templates');
  await page.click('button[data-template=dailyfailures]');
  await page.waitForSelector('#run');
  check(await runToEnd(page) === 'done', 'the next report after a cancel is served');
  await follow(page, '#openlink');
  check(await page.$('pre#report') !== null, 'a text report is shown as text');
  await shot(page, 'text-report');
} catch (error) {
  check(false, 'the browser session: ' + error);
} finally {
  await browser.close();
  rmSync(profile, {recursive: true, force: true});
}
console.log(failures === 0 ? 'browser tests passed' : `${failures} browser checks failed`);
process.exit(failures === 0 ? 0 : 1);
