// The desk console in a real browser: scripts/run brings up a whole device
// (simulated board, SIP service, cloud service, console) on a loopback
// address of its own, and Debian's Chromium, driven by puppeteer-core, uses
// the page as a person would.
//   HOPPERD_BUILD_DIR        the build whose programs run (default build/)
//   HOPPERD_CONSOLE_SHOT     where to save a picture of the page during the feeding
import {after, before, test} from 'node:test';
import assert from 'node:assert/strict';
import {spawn, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import puppeteer from 'puppeteer-core';

const source = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const build = path.resolve(process.env.HOPPERD_BUILD_DIR || path.join(source, 'build'));
const octet = () => 1 + Math.floor(Math.random() * 250);
const addr = `127.${octet()}.${octet()}.${octet()}`;
const port = 8800;
const home = `http://${addr}:${port}/`;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hopperd-console-'));
const deviceLog = path.join(dir, 'device.log');

let run = null;
let runExit = null;
let browser = null;
let page = null;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const read = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '');

async function until(what, check, seconds) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > end) throw new Error(`no ${what} within ${seconds} s`);
    await sleep(200);
  }
}

// One request to the simulator's control socket, as simctl sends it.
function control(request) {
  return new Promise((resolve, reject) => {
    const sock = net.createConnection(path.join(dir, 'control.sock'));
    let data = '';
    sock.setTimeout(10000, () => sock.destroy(new Error('control socket: no reply')));
    sock.on('connect', () => sock.write(JSON.stringify(request) + '\n'));
    sock.on('data', (d) => {
      data += d;
      if (data.includes('\n')) {
        sock.end();
        resolve(JSON.parse(data.slice(0, data.indexOf('\n'))));
      }
    });
    sock.on('error', reject);
  });
}

const sipCommands = () => (read(deviceLog).match(/------------> SIP cmd/g) || []).length;
const text = (selector) => page.$eval(selector, (e) => e.textContent);

before(async () => {
  const out = fs.openSync(path.join(dir, 'run.out'), 'w');
  // Its own process group, so that one signal reaches everything it started.
  run = spawn('bash', [path.join(source, 'scripts/run'), '--prebuilt', build, '--addr', addr,
                       '--dir', dir, '--console-port', String(port), '--speed', '40'],
              {cwd: source, detached: true, stdio: ['ignore', out, out]});
  runExit = new Promise((resolve) => run.on('exit', resolve));
  await until('console address from scripts/run',
              () => read(path.join(dir, 'run.out')).includes(`console: ${home}`), 30);
  await until('registered device', () => read(deviceLog).includes(' pjsip  registered'), 60);

  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    userDataDir: path.join(dir, 'chromium'),
    // This machine's network is closed: a browser reaching out for updates,
    // sync or QUIC would have its connections refused.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  await page.setViewport({width: 1360, height: 1020});
  page.setDefaultTimeout(30000);
});

after(async () => {
  if (browser) await browser.close();
  if (run && run.exitCode === null && run.signalCode === null) {
    process.kill(-run.pid, 'SIGINT');  // the device's orderly stop, then scripts/run's clean-up
    // An unref'd timer: it must not keep the test alive once the device is down.
    const late = new Promise((r) => setTimeout(() => r(false), 30000).unref());
    const stopped = await Promise.race([runExit.then(() => true), late]);
    if (!stopped) process.kill(-run.pid, 'SIGKILL');
  }
  // kamailio runs in a session of its own; make sure it went with the rest.
  spawnSync(path.join(source, 'scripts/sip-service'), ['stop', path.join(dir, 'sip')]);
  if (process.exitCode) {
    console.log('--- scripts/run\n' + read(path.join(dir, 'run.out')).split('\n').slice(-40).join('\n'));
  }
  fs.rmSync(dir, {recursive: true, force: true});
});

test('the console shows the device and drives it', async (t) => {
  await t.test('the page loads and draws the feeder', async () => {
    await page.goto(home);
    await page.waitForFunction(() => document.getElementById('link-status').textContent === 'device up');
    await page.waitForSelector('#feeder-drawing[data-bowl="in"]');
    assert.match(await text('#clock'), /\d{4}-\d\d-\d\d \d\d:\d\d:\d\d/);
    // The plot is Chart.js's, from the system's copy.
    await page.waitForFunction(() => window.Chart && Chart.getChart('history-chart'));
    await page.waitForSelector('#schedule-table tr.empty');
  });

  let uuid;
  await t.test('a schedule entry shows in the table and in the device', async () => {
    await page.type('#entry-time', '7:30');
    await page.$eval('#entry-amount', (e) => { e.value = '25'; });
    await page.click('#entry-days input[value="mon"]');
    await page.click('#entry-days input[value="fri"]');
    await page.click('#entry-submit');
    const row = await page.waitForSelector('#schedule-table tbody tr[data-uuid]');
    uuid = await row.evaluate((e) => e.dataset.uuid);
    const cells = await row.$$eval('td', (tds) => tds.map((td) => td.textContent));
    assert.deepEqual(cells.slice(0, 3), ['07:30', '25', 'mon fri']);
    assert.match(await text('#replies'), /feeding-schedule-append-res[\s\S]*"errorCode": "200"/);
    const listed = (await control({op: 'schedule'})).schedule;
    assert.equal(listed.length, 1);
    assert.equal(listed[0].uuid, uuid);
    assert.equal(listed[0].feedTime, '07:30');
    assert.equal(listed[0].feedAmount, '25');
  });

  await t.test('a bad amount or time is refused and nothing reaches the device', async () => {
    const before = {sip: sipCommands(), replies: await page.$$eval('#replies li', (l) => l.length),
                    record: read(path.join(dir, 'cloud.jsonl'))};
    await page.$eval('#feed-amount', (e) => { e.value = 'abc'; });
    await page.click('#feed-button');
    await page.waitForFunction(() => document.getElementById('feed-refusal').textContent !== '');
    assert.match(await text('#feed-refusal'), /Refused: .*"abc" is not a number/);

    await page.$eval('#entry-time', (e) => { e.value = '7.45'; });
    await page.click('#entry-days input[value="sun"]');
    await page.click('#entry-submit');
    await page.waitForFunction(() => document.getElementById('entry-refusal').textContent !== '');
    assert.match(await text('#entry-refusal'), /Refused: time "7\.45" is not h:mm/);
    await page.click('#entry-time', {clickCount: 3});
    await page.keyboard.press('Backspace');
    assert.equal(await text('#entry-refusal'), '', 'editing the refused text clears the refusal');
    await page.click('#entry-days input[value="sun"]');

    // Another site in the same browser can post plain text, not JSON.
    const status = await page.evaluate(() => fetch('/api/feed', {
      method: 'POST', body: JSON.stringify({amount: '30', melody: '1'}),
    }).then((r) => r.status));
    assert.equal(status, 415);

    await sleep(1500);  // room for anything that would have gone out
    assert.equal(sipCommands(), before.sip);
    assert.equal(await page.$$eval('#replies li', (l) => l.length), before.replies);
    assert.equal(read(path.join(dir, 'cloud.jsonl')), before.record);
    assert.equal((await control({op: 'schedule'})).schedule.length, 1);
    assert.equal((await control({op: 'state'})).bowl, 'in');
  });

  await t.test('"feed 30 g" ends in a served message and the bowl out', async () => {
    await page.$eval('#feed-amount', (e) => { e.value = '30'; });
    await page.click('#feed-button');
    await page.waitForFunction(() => document.getElementById('feed-refusal').textContent === '');
    await page.waitForFunction(
        () => /feed 30 1[\s\S]*MESSAGE: 200/.test(document.getElementById('replies').textContent));
    const served = await page.waitForFunction(() => {
      const m = [...document.querySelectorAll('#owner-feed li.message')]
          .map((li) => li.textContent).find((s) => /\d+g 제공되었습니다/.test(s));
      return m || false;
    }, {timeout: 60000});
    const grams = Number((await served.jsonValue()).match(/(\d+)g 제공되었습니다/)[1]);
    assert.ok(grams >= 25 && grams <= 35, `served ${grams} g`);
    await page.waitForSelector('#feeder-drawing[data-bowl="out"]');
    assert.match(await text('#bowl-grams'), /^\d+\.\d g$/);
    await sleep(1000);  // a history sample or two of the full bowl
    await page.screenshot({path: process.env.HOPPERD_CONSOLE_SHOT || path.join(dir, 'console.png'),
                           fullPage: true});
  });

  await t.test('taking the bowl away shows it missing', async () => {
    await page.click('#bowl-away');
    await page.waitForSelector('#feeder-drawing[data-bowl="missing"]');
    assert.equal(await text('#bowl-note'), 'missing');
    assert.equal((await control({op: 'state'})).bowl_present, false);
    await page.click('#bowl-back');
    await page.waitForFunction(
        () => document.getElementById('feeder-drawing').dataset.bowl !== 'missing');
  });
});
