// The browser of the browser tests: Debian's Chromium, headless, without
// anything that would reach the network by itself, driven by the
// playwright-core that scripts/setup.sh installs in web/node_modules.
import path from 'node:path';
import { createRequire } from 'node:module';

export const BROWSER = '/usr/bin/chromium';
export const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Playwright's chromium, from the web folder's node_modules; ends the test,
// saying what to run, when it is not installed.
export function loadChromium(webDir) {
  try {
    return createRequire(path.join(path.resolve(webDir), 'package.json'))('playwright-core').chromium;
  } catch (e) {
    console.error(`playwright-core is not installed in ${webDir}/node_modules: ` +
                  'run scripts/setup.sh (it runs "npm ci" in web/).');
    process.exit(1);
  }
}
