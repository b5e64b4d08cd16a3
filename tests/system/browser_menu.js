// Drives the web menu in a real browser: headless Chromium (Debian's
// chromium, through puppeteer-core) logs in, fills the text form and sends
// it. Arguments: menu URL, user, password, recipient, text, screenshot path.
// Prints "sent<TAB><answer text>" or "error<TAB><message>" and exits.
'use strict';
const {launchBrowser, run} = require('./node_common');

async function main() {
  const [url, user, password, recipient, text, shot] = process.argv.slice(2);
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 1000, height: 900});
    await page.authenticate({username: user, password: password});
    await page.goto(url, {waitUntil: 'load', timeout: 20000});
    await page.type('#PhoneNumber', recipient);
    await page.type('#Text', text);
    await page.screenshot({path: shot, fullPage: true});
    await Promise.all([
      page.waitForNavigation({waitUntil: 'load', timeout: 20000}),
      page.click('#sendtext'),
    ]);
    const answer = await page.evaluate(() => document.body.innerText);
    console.log('sent\t' + answer.replace(/\s+/g, ' ').trim());
  } finally {
    await browser.close();
  }
}

run(main);
