// What the browser test and the browser benchmark (bench/web.js) share:
// Debian's chromium, headless, with a fresh profile and no traffic of its
// own; and the step-by-step talk with the Python side that plays the port.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const puppeteer = require('puppeteer-core');

// Runs body(browser) and closes the browser and its profile afterwards.
async function withChromium(body) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velkor-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.VELKOR_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--no-first-run',
           '--user-data-dir=' + profile,
           // The browser test over https: the server's own test certificate
           // is trusted by its key's hash, and by nothing else.
           ...(process.env.VELKOR_CHROMIUM_TRUST_SPKI
             ? ['--ignore-certificate-errors-spki-list=' + process.env.VELKOR_CHROMIUM_TRUST_SPKI]
             : [])],
  });
  try {
    return await body(browser);
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// Says a step on stdout and waits for "ok" on stdin.
const answers = readline.createInterface({ input: process.stdin })[Symbol.asyncIterator]();
async function ask(line) {
  process.stdout.write(line + '\n');
  const { value } = await answers.next();
  if (value !== 'ok') throw new Error('harness: ' + value);
}

function run(main) {
  main().then(() => process.exit(0), (err) => {
    process.stderr.write(String((err && err.stack) || err) + '\n');
    process.exit(1);
  });
}

module.exports = { withChromium, ask, run };
