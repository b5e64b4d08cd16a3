// Shared by the node peers of the system tests: packages come from the
// interoperability tests' node_modules when NODE_PATH does not name them,
// and the browser tests start Debian's chromium headless.
'use strict';
const path = require('path');

function load(name) {
  try {
    return require(name);
  } catch (e) {
    return require(path.join(__dirname, '..', 'interop', 'node_modules', name));
  }
}

function launchBrowser() {
  return load('puppeteer-core').launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
}

// Runs main, printing "error<TAB>message" and exiting 1 when it throws.
function run(main) {
  main().catch((e) => {
    console.log('error\t' + String((e && e.message) || e).replace(/\s+/g, ' '));
    process.exit(1);
  });
}

module.exports = {load, launchBrowser, run};
