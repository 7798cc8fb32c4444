// The browser console's figures, measured in a real browser (headless
// chromium via puppeteer-core): bytes per second from a port to the page,
// and a keystroke's round trip through the page (key down in the page, the
// key through velkor to the port, the port's echo back to the page).
// bench/web.py starts velkor and plays the port; steps are agreed one line
// at a time over stdout and stdin, as in tests/web/browser.js.
//
// Usage: node web.js <url> <identifier> <port> <bytes> <keys>
'use strict';
const path = require('path');
const { withChromium, ask, run } = require(path.join(__dirname, '..', 'tests', 'web', 'chromium.js'));

const [url, identifier, port, bytesText, keysText] = process.argv.slice(2);
const total = parseInt(bytesText, 10);
const keys = parseInt(keysText, 10);

run(() => withChromium(async (browser) => {
  {
    const page = await browser.newPage();
    // The page's socket, seen from inside: bytes received, and when.
    await page.evaluateOnNewDocument(() => {
      window.rx = 0;
      window.rxAt = 0;
      const Native = window.WebSocket;
      window.WebSocket = function (...a) {
        const ws = new Native(...a);
        ws.addEventListener('message', (e) => {
          window.rx += e.data.byteLength;
          window.rxAt = performance.now();
        });
        return ws;
      };
      window.WebSocket.prototype = Native.prototype;
      Object.assign(window.WebSocket, { OPEN: 1 });
    });
    await page.goto(url, { waitUntil: 'load' });
    await page.waitForFunction(() => document.querySelector('#state').dataset.state === 'identifier');
    await page.type('#identifier', identifier);
    await page.click('#login');
    await page.waitForSelector(`#ports button[data-port="${port}"]`);
    await page.click(`#ports button[data-port="${port}"]`);
    await page.waitForFunction(() => document.querySelector('#state').dataset.state === 'bridged');

    const before = await page.evaluate(() => window.rx);
    const start = await page.evaluate(() => performance.now());
    await ask('send');
    await page.waitForFunction((want) => window.rx >= want, { timeout: 120000, polling: 50 },
                               before + total);
    const end = await page.evaluate(() => window.rxAt);
    const seconds = (end - start) / 1000;

    await ask('echo');
    await page.click('#terminal');
    const trips = [];
    for (let i = 0; i < keys; i++) {
      // The page waits for the key before it is pressed.
      const trip = page.evaluate(() => new Promise((resolve) => {
        const from = window.rx;
        let down = 0;
        const poll = () => (window.rx > from ? resolve(window.rxAt - down) : setTimeout(poll, 0));
        document.addEventListener('keydown', () => { down = performance.now(); poll(); },
                                  { once: true, capture: true });
      }));
      await page.evaluate(() => new Promise((resolve) => setTimeout(resolve, 20)));
      await page.keyboard.press('a');
      const t = await trip;
      trips.push(t);
    }
    trips.sort((a, b) => a - b);
    const median = trips[Math.floor(trips.length / 2)];
    process.stdout.write(`result ${(total / seconds / 1e6).toFixed(2)} ${median.toFixed(2)} ${trips[Math.floor(trips.length * 0.9)].toFixed(2)}\n`);
  }
}));
