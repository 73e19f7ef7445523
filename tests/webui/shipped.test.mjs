// The product as installed, unchanged: `cmake --install` of the build tree into a fresh
// prefix, then the installed server with its installed configuration and web root. The
// configuration's default port is taken as it is, so CTest runs this test in a private
// network namespace where that port is free.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { BUILD_DIR, runServer, launchBrowser, openPage, screenshot, logIn, ADMIN } from './support.mjs';

const SHIPPED_PORT = 5170;
let prefix;
let server;
let browser;

before(async () => {
    prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'hxbwebui-install-'));
    execFileSync('cmake', ['--install', BUILD_DIR, '--prefix', prefix], { stdio: 'pipe' });
    server = await runServer(path.join(prefix, 'bin'), prefix, SHIPPED_PORT);
    browser = await launchBrowser();
});

after(async () => {
    await browser?.close();
    await server?.stop();
    if (prefix)
        fs.rmSync(prefix, { recursive: true, force: true });
});

test('the installed server serves its front end at "/" with every file it needs, and a log-in works', async () => {
    const installed = path.join(prefix, 'bin', 'etc', 'webinterface', 'static', 'hxbwebinterface');
    assert.ok(fs.existsSync(path.join(installed, 'index.html')));
    assert.ok(fs.existsSync(path.join(installed, 'vendor', 'chart.min.js')));

    const page = await openPage(browser, null);
    const failed = [];
    page.on('response', (r) => { if (r.status() >= 400) failed.push(`${r.status()} ${r.url()}`); });
    page.on('requestfailed', (r) => failed.push(`failed ${r.url()}`));
    const response = await page.goto(`http://127.0.0.1:${SHIPPED_PORT}/`);
    assert.equal(response.status(), 200);
    assert.equal(page.url(), `http://127.0.0.1:${SHIPPED_PORT}/static/hxbwebinterface/`);
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    assert.equal(await page.evaluate(() => typeof window.Chart), 'function');
    assert.deepEqual(failed, []);
    await screenshot(page, 'installed-login');

    await logIn(page, ADMIN);
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
    await page.getByRole('button', { name: 'Log out' }).click();
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    assert.deepEqual(page.problems, []);
});
