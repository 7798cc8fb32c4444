// The page in a real browser (Debian's chromium, headless), driven by
// puppeteer-core.  browser_test.py starts velkor and holds the port's other
// end; this side drives the page and tells it what it did, one line at a
// time on stdout, and waits for its answer on stdin.
//
// Usage: node browser.js <url> <identifier> <port> <baud> <screenshot.png>
'use strict';
const { withChromium, ask, run } = require('./chromium.js');

const [url, identifier, port, baud, screenshot] = process.argv.slice(2);

run(() => withChromium(async (browser) => {
  {
    const page = await browser.newPage();
    await page.setViewport({ width: 1000, height: 600 });
    const requested = [];
    page.on('request', (r) => requested.push(r.url()));
    await page.goto(url, { waitUntil: 'load' });
    const origin = new URL(url).origin;
    for (const r of requested) {
      if (!r.startsWith(origin + '/')) throw new Error('the page asked another host: ' + r);
    }
    const state = () => page.$eval('#state', (e) => e.dataset.state);
    await page.waitForFunction(() => document.querySelector('#state').dataset.state === 'identifier');

    // A wrong identifier is shown as such; the right one lists the ports.
    await page.type('#identifier', identifier + 'x');
    await page.click('#login');
    await page.waitForFunction(() => document.querySelector('#state').dataset.state === 'wrong identifier');
    await page.$eval('#identifier', (e) => { e.value = ''; });
    // Enter in the field logs in as the button does, and reaches nothing else.
    await page.type('#identifier', identifier);
    await page.keyboard.press('Enter');
    const button = `#ports button[data-port="${port}"]`;
    await page.waitForSelector(button);
    await new Promise((r) => setTimeout(r, 300));
    if (await state() === 'wrong identifier') throw new Error('Enter was taken as a second line');
    const title = await page.$eval(button, (e) => e.title);
    if (title.includes('\0') || !title.includes(port)) throw new Error('the port button says ' + JSON.stringify(title));

    await page.$eval('#baud', (e) => { e.value = ''; });
    await page.type('#baud', baud);
    await page.click(button);
    await page.waitForFunction(() => document.querySelector('#state').dataset.state === 'bridged');
    await ask('bridged');

    // A second page watches the same port: "watch only", then the port.
    const watcher = await browser.newPage();
    await watcher.goto(url, { waitUntil: 'load' });
    await watcher.waitForFunction(() => document.querySelector('#state').dataset.state === 'identifier');
    await watcher.type('#identifier', identifier);
    await watcher.click('#login');
    await watcher.waitForSelector(button);
    await watcher.click('#watch');
    await watcher.click(button);
    await watcher.waitForFunction(() => document.querySelector('#state').dataset.state === 'watching');
    // A tab in the background gets no input and draws nothing: the
    // writer's tab comes to the front to type, the watcher's to be read.
    await page.bringToFront();

    // Keys typed into the terminal arrive at the port.
    await page.click('#terminal');
    await page.keyboard.type('keys-to-the-port');
    await ask('typed keys-to-the-port');

    // What the port writes appears in the terminal's rows, as text.
    await page.waitForFunction(
      () => document.querySelector('#terminal .xterm-rows').textContent.includes('port-to-the-page'),
      { timeout: 10000 });
    await page.screenshot({ path: screenshot });
    if ((await state()) !== 'bridged') throw new Error('no longer bridged');
    // The watcher sees the port's output as the writer does.
    await watcher.bringToFront();
    await watcher.waitForFunction(
      () => document.querySelector('#terminal .xterm-rows').textContent.includes('port-to-the-page'),
      { timeout: 10000 });

    // Closing the tab ends the client.
    await page.close();
    await ask('closed');
    await watcher.close();
  }
}));
