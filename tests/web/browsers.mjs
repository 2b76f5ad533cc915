// The browsers of the browser tests, started the same way for every test:
// Debian's Chromium through playwright-core (DevTools protocol) and Debian's
// Firefox ESR through puppeteer-core (WebDriver BiDi), both headless, with a
// fresh profile and nothing that would reach the network by itself. Each
// comes back as a browser with the same few calls, its pages with the calls
// of a Playwright page that the shared steps use (goto, reload, evaluate,
// waitForFunction, locator(...).waitFor, screenshot, context().newPage), so
// that one list of steps runs in both.
import path from 'node:path';
import { createRequire } from 'node:module';
import { BROWSER, FLAGS, loadChromium } from './chromium.mjs';

export const FIREFOX = '/usr/bin/firefox-esr';
export const BROWSER_NAMES = ['chromium', 'firefox'];

// Firefox's preferences for a test: no updates, telemetry, remote settings,
// captive portal or connectivity checks, safe browsing, or prefetching; the
// addresses it would fetch them from are left empty or lead nowhere.
export const FIREFOX_PREFS = {
  'app.update.auto': false,
  'app.update.enabled': false,
  'app.normandy.enabled': false,
  'browser.region.network.url': '',
  'browser.safebrowsing.downloads.remote.enabled': false,
  'browser.safebrowsing.malware.enabled': false,
  'browser.safebrowsing.phishing.enabled': false,
  'browser.newtabpage.enabled': false,
  'browser.startup.page': 0,
  'datareporting.healthreport.uploadEnabled': false,
  'datareporting.policy.dataSubmissionEnabled': false,
  'extensions.update.enabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'services.settings.server': 'data:,',
  'toolkit.telemetry.enabled': false,
  'toolkit.telemetry.server': 'data:,',
};

// puppeteer-core from the web folder's node_modules; ends the test, saying
// what to run, when it is not installed.
function loadPuppeteer(webDir) {
  try {
    return createRequire(path.join(path.resolve(webDir), 'package.json'))('puppeteer-core');
  } catch (e) {
    console.error(`puppeteer-core is not installed in ${webDir}/node_modules: ` +
                  'run scripts/setup.sh (it runs "npm ci" in web/).');
    process.exit(1);
  }
}

// Firefox reports a WebSocket that could not connect, or that a reload cut,
// as an error of the page; Chromium only logs it. Neither is an error of the
// page's script.
const WEBSOCKET_REPORT = /can’t establish a connection to the server at ws:|The connection to ws:\S+ was interrupted while the page was loading/;

// The elements a Playwright locator would find: `selector`, with `hasText`
// somewhere in their text where given. Runs in the page.
function matching([selector, hasText]) {
  return [...document.querySelectorAll(selector)]
    .filter((element) => hasText === null || element.textContent.includes(hasText));
}

// A Playwright locator's calls that the shared steps make, over puppeteer.
// waitFor() waits, as Playwright's does, for an element that is shown.
function locator(page, selector, hasText, timeout) {
  const query = [selector, hasText ?? null];
  const one = async (what) => {
    const handle = await page.$(selector);
    if (!handle) throw new Error(`no element ${selector}`);
    return what(handle);
  };
  return {
    first: () => locator(page, selector, hasText, timeout),
    filter: (options) => locator(page, selector, options.hasText, timeout),
    count: () => page.evaluate(`(${matching})(${JSON.stringify(query)}).length`),
    waitFor: () => page.waitForFunction(`(${matching})(${JSON.stringify(query)})
      .some((element) => element.getClientRects().length > 0)`, { timeout: timeout(), polling: 50 }),
    isDisabled: () => one((handle) => handle.evaluate((element) => element.disabled)),
    isChecked: () => one((handle) => handle.evaluate((element) => element.checked)),
    getAttribute: (name) => one((handle) => handle.evaluate((element, n) => element.getAttribute(n), name)),
    boundingBox: () => one((handle) => handle.boundingBox()),
  };
}

// A puppeteer page with the Playwright calls the shared steps make.
function playwrightShaped(page, browser) {
  let timeout = 30000;
  // Ticks or clears a checkbox with a click, as a person would.
  const setChecked = (selector, checked) => page.$eval(selector, (element, wanted) => {
    if (element.checked !== wanted) element.click();
  }, checked);
  const shaped = {
    goto: (url) => page.goto(url),
    reload: () => page.reload(),
    evaluate: (fn, arg) => page.evaluate(fn, arg),
    waitForFunction: (fn, arg, options = {}) =>
      page.waitForFunction(fn, { timeout: options.timeout ?? timeout, polling: 50 }, arg),
    locator: (selector, options = {}) => locator(page, selector, options.hasText, () => timeout),
    click: (selector) => page.click(selector),
    check: (selector) => setChecked(selector, true),
    uncheck: (selector) => setChecked(selector, false),
    mouse: page.mouse,
    screenshot: (options) => page.screenshot(options),
    setDefaultTimeout: (ms) => {
      timeout = ms;
      page.setDefaultTimeout(ms);
    },
    on: (event, handler) => page.on(event, event !== 'pageerror' ? handler : (e) => {
      if (!WEBSOCKET_REPORT.test(e.message)) handler(e);
    }),
    close: () => page.close(),
    context: () => browser,
  };
  return shaped;
}

// Starts browser `name` with a profile in `profile`. Options: `webDir` (where
// the drivers are installed), `prefs` (Firefox's, beside FIREFOX_PREFS),
// `args` (Chromium's, beside FLAGS), `executablePath` (a wrapper that starts
// the browser, e.g. in a mount namespace), `viewport`. Resolves with
// { name, newPage(), firstPage(), setPermission(origin, state), close() }.
export async function launchBrowser(name, { webDir, profile, prefs = {}, args = [], executablePath,
  viewport = { width: 1400, height: 1000 } }) {
  if (name === 'chromium') {
    const chromium = loadChromium(webDir);
    const context = await chromium.launchPersistentContext(profile, {
      executablePath: executablePath || BROWSER, headless: true, args: [...FLAGS, ...args], viewport,
      ignoreHTTPSErrors: true,
    });
    return {
      name,
      newPage: () => context.newPage(),
      firstPage: async () => context.pages()[0] || context.newPage(),
      // Local Network Access under both of its names, over the DevTools protocol.
      setPermission: async (origin, state) => {
        const page = context.pages()[0] || (await context.newPage());
        const devtools = await context.newCDPSession(page);
        for (const permission of ['loopback-network', 'local-network-access']) {
          await devtools.send('Browser.setPermission', { permission: { name: permission }, setting: state, origin });
        }
      },
      close: () => context.close(),
    };
  }
  if (name !== 'firefox') throw new Error(`no browser named ${name}`);
  const puppeteer = loadPuppeteer(webDir);
  const browser = await puppeteer.launch({
    browser: 'firefox', protocol: 'webDriverBiDi', executablePath: executablePath || FIREFOX,
    headless: true, userDataDir: profile, args: ['--headless'], defaultViewport: viewport,
    acceptInsecureCerts: true, extraPrefsFirefox: { ...FIREFOX_PREFS, ...prefs },
    env: { ...process.env, MOZ_HEADLESS: '1' },
  });
  const shaped = {
    name,
    newPage: async () => playwrightShaped(await browser.newPage(), shaped),
    firstPage: async () => {
      const [page] = await browser.pages();
      return playwrightShaped(page || (await browser.newPage()), shaped);
    },
    // Local Network Access over WebDriver BiDi (permissions.setPermission).
    setPermission: (origin, state) => browser.defaultBrowserContext().setPermission(
      origin, { permission: { name: 'loopback-network' }, state }),
    close: () => browser.close(),
  };
  return shaped;
}
