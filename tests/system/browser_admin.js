// Drives the administration pages in a real browser: headless Chromium
// (puppeteer-core) logs in as the administrator, opens the status page and
// keeps a screenshot, then adds an account through the account page and
// keeps a screenshot of the list. Arguments: base URL, admin user, admin
// password, new account, its password, screenshot directory.
// Prints "status<TAB><links table text>", "added<TAB><page text>" or "error<TAB>...".
'use strict';
const path = require('path');
const {launchBrowser, run} = require('./node_common');

async function main() {
  const [base, user, password, account, accountPassword, dir] = process.argv.slice(2);
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 1100, height: 900});
    await page.authenticate({username: user, password: password});
    await page.goto(base + '/ADMIN/STATUS', {waitUntil: 'load', timeout: 20000});
    const links = await page.$eval('#links', (t) => t.innerText);
    console.log('status\t' + links.replace(/\s+/g, ' ').trim());
    await page.screenshot({path: path.join(dir, 'admin_status.png'), fullPage: true});

    await page.goto(base + '/ADMIN/SMSUSERS', {waitUntil: 'load', timeout: 20000});
    await page.type('input[name=UserName]', account);
    await page.type('input[name=Password]', accountPassword);
    await Promise.all([
      page.waitForNavigation({waitUntil: 'load', timeout: 20000}),
      page.click('button[value=Add]'),
    ]);
    const text = await page.evaluate(() => document.body.innerText);
    console.log('added\t' + text.replace(/\s+/g, ' ').trim());
    await page.screenshot({path: path.join(dir, 'admin_accounts.png'), fullPage: true});
  } finally {
    await browser.close();
  }
}

run(main);
