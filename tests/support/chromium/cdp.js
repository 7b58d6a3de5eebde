// Drives headless Chromium over its DevTools pipe: opens a page and evaluates JavaScript
// expressions in it. Chromium runs as the CI machine allows (no sandbox as root, no GPU) and
// leaves nothing outside its private folder: profile, home, configuration, caches and temporary
// files all live there, and the folder goes when the browser closes. It makes no connection of
// its own beyond loopback (no background networking, updates or sync).
//
// As a module:  const { launch } = require('./cdp');
//               const browser = await launch({ flags: ['--enable-features=WebRtcPipeWireCamera'] });
//               const page = await browser.open('file:///.../media.html');
//               const value = await page.evaluate('devices("audioinput")');
//               await browser.close();
// As a program: node cdp.js <url> <expression> [chromium flags...]
//               prints the expression's value as JSON; exit status 1 when it throws or fails.
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const baseFlags = [
    '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--no-default-browser-check',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--use-fake-ui-for-media-stream', '--autoplay-policy=no-user-gesture-required', '--remote-debugging-pipe',
];

class Page {
    constructor(browser, sessionId) {
        this.browser = browser;
        this.sessionId = sessionId;
    }

    /** The value of `expression` (promises are awaited); throws with the page's exception text. */
    async evaluate(expression) {
        const reply = await this.browser.send('Runtime.evaluate',
            { expression, awaitPromise: true, returnByValue: true }, this.sessionId);
        if (reply.exceptionDetails) {
            const exception = reply.exceptionDetails.exception;
            throw new Error(exception && exception.description ? exception.description : reply.exceptionDetails.text);
        }
        return reply.result.value;
    }
}

class Browser {
    constructor(child, folder) {
        this.child = child;
        this.folder = folder;
        this.nextId = 0;
        this.waiting = new Map();
        this.ended = new Promise(resolve => child.once('exit', resolve));
        let buffer = '';
        child.stdio[4].on('data', data => {
            buffer += data;
            for (let end = buffer.indexOf('\0'); end >= 0; end = buffer.indexOf('\0')) {
                const message = JSON.parse(buffer.slice(0, end));
                buffer = buffer.slice(end + 1);
                const waiter = this.waiting.get(message.id);
                if (!waiter)
                    continue;
                this.waiting.delete(message.id);
                if (message.error)
                    waiter.reject(new Error(message.error.message));
                else
                    waiter.resolve(message.result);
            }
        });
        child.once('exit', (code, signal) => {
            for (const waiter of this.waiting.values())
                waiter.reject(new Error(`chromium ended (${signal || code})`));
            this.waiting.clear();
        });
        child.stdio[3].on('error', () => {}); // a write after the browser ended: the exit handler reports it
    }

    send(method, params = {}, sessionId) {
        if (this.child.exitCode !== null || this.child.signalCode !== null)
            return Promise.reject(new Error('chromium is not running'));
        return new Promise((resolve, reject) => {
            const id = ++this.nextId;
            this.waiting.set(id, { resolve, reject });
            this.child.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
        });
    }

    /** Opens `url` in a new tab and resolves once it has loaded. */
    async open(url) {
        const { targetId } = await this.send('Target.createTarget', { url });
        const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
        const page = new Page(this, sessionId);
        while (await page.evaluate('location.href === "about:blank" || document.readyState !== "complete"'))
            await new Promise(resolve => setTimeout(resolve, 50));
        return page;
    }

    /** Closes the browser (killing it if it does not go within 5 s) and removes its folder. */
    async close() {
        if (this.child.exitCode === null && this.child.signalCode === null) {
            this.send('Browser.close').catch(() => {});
            const timer = setTimeout(() => this.child.kill('SIGKILL'), 5000);
            await this.ended;
            clearTimeout(timer);
        }
        fs.rmSync(this.folder, { recursive: true, force: true });
    }

    /** Ends the browser at once; for signal handlers. */
    kill() {
        this.child.kill('SIGKILL');
        fs.rmSync(this.folder, { recursive: true, force: true });
    }
}

/**
 * Starts Chromium. `flags`: extra command-line flags. `log`: a file for Chromium's own output
 * (otherwise discarded). The browser's private folder is made in the temporary directory.
 */
async function launch({ flags = [], log } = {}) {
    const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-'));
    const env = { ...process.env };
    for (const [name, sub] of [['HOME', 'home'], ['XDG_CONFIG_HOME', 'config'], ['XDG_CACHE_HOME', 'cache'],
                               ['XDG_DATA_HOME', 'data'], ['TMPDIR', 'tmp']]) {
        env[name] = path.join(folder, sub);
        fs.mkdirSync(env[name]);
    }
    const output = log ? fs.openSync(log, 'a') : 'ignore';
    const child = spawn('chromium', [...baseFlags, '--user-data-dir=' + path.join(folder, 'profile'), ...flags,
                                     'about:blank'],
                        { env, stdio: ['ignore', output, output, 'pipe', 'pipe'] }); // fd 3: to it, fd 4: from it
    if (log)
        fs.closeSync(output);
    const browser = new Browser(child, folder);
    await new Promise((resolve, reject) => {
        child.once('spawn', resolve);
        child.once('error', reject);
    });
    return browser;
}

module.exports = { launch };

if (require.main === module) {
    const [url, expression, ...flags] = process.argv.slice(2);
    if (!url || !expression) {
        console.error('usage: node cdp.js <url> <expression> [chromium flags...]');
        process.exit(2);
    }
    (async () => {
        const browser = await launch({ flags, log: process.env.CHROMIUM_LOG });
        for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP'])
            process.on(signal, () => { browser.kill(); process.exit(1); });
        try {
            const page = await browser.open(url);
            console.log(JSON.stringify(await page.evaluate(expression)));
        } finally {
            await browser.close();
        }
    })().catch(error => {
        console.error(error.message);
        process.exitCode = 1;
    });
}
