// The front end over HTTPS with a site certificate: Chromium trusts exactly the certificate the
// server was configured with, logs in, and the page and every call it makes go over HTTPS.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { X509Certificate, createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServer, freePort, launchBrowser, openPage, screenshot, logIn, ADMIN } from './support.mjs';

let pki;
let server;
let browser;
let origin;

before(async () => {
    // The test CA and its certificate for 127.0.0.1, made as for the other HTTPS tests.
    pki = fs.mkdtempSync(path.join(os.tmpdir(), 'hxbwebui-pki-'));
    const integration = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'integration');
    execFileSync('python3', ['-c', 'import sys, hxbtest; hxbtest.make_pki(sys.argv[1])', pki],
        { env: { ...process.env, PYTHONPATH: integration }, stdio: 'pipe' });
    const certificate = path.join(pki, 'server1.pem');
    const tlsPort = await freePort();
    server = await startServer({ config: { Core: { tls_port: String(tlsPort), tls_certificate: certificate,
        tls_key: path.join(pki, 'server1.key') } } });
    origin = `https://127.0.0.1:${tlsPort}`;
    // Chromium accepts this one public key and nothing else the test CA might sign.
    const spki = new X509Certificate(fs.readFileSync(certificate)).publicKey
        .export({ type: 'spki', format: 'der' });
    browser = await launchBrowser({ args: [
        `--ignore-certificate-errors-spki-list=${createHash('sha256').update(spki).digest('base64')}`] });
});

after(async () => {
    await browser?.close();
    await server?.cleanup();
    if (pki)
        fs.rmSync(pki, { recursive: true, force: true });
});

test('over HTTPS: the security headers, log-in, the job list, and every request on https', async () => {
    // Without being told to trust it, the browser refuses the certificate.
    const untrusting = await launchBrowser();
    try {
        await assert.rejects((await openPage(untrusting)).goto(origin + '/'),
            /ERR_CERT_AUTHORITY_INVALID/);
    } finally {
        await untrusting.close();
    }

    const page = await openPage(browser);
    const requests = [];
    page.on('request', (r) => requests.push(r.url()));
    const answer = await page.goto(origin + '/');
    assert.equal(page.url(), origin + '/static/hxbwebinterface/');
    assert.match(await answer.headerValue('content-security-policy') ?? '', /default-src 'self'/);

    // The log-in and the job list, the calls that carry the password and the session token.
    const jobList = page.waitForResponse((r) => new URL(r.url()).pathname === '/batchbay/jobinfo');
    await logIn(page, ADMIN);
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
    assert.equal((await jobList).status(), 200);
    await screenshot(page, 'https-jobs');
    assert.ok(requests.some((url) => new URL(url).pathname === '/user/login'), requests.join(' '));
    assert.deepEqual(requests.filter((url) => !url.startsWith(origin + '/')), []);
    assert.deepEqual(page.problems, []);
    await page.context().close();
});
