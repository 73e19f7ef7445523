// Browser-test support: the built server in a private directory tree, a headless Chromium
// from Debian driven by playwright-core, and screenshots kept as test artifacts.
//
// A private server tree (like tests/integration/hxbtest.py, but with the web root linked,
// not copied, so the page under test is exactly what the build tree serves):
//     <root>/hxbconfig.ini
//     <root>/bin/hxbserver                 (a copy; libraries resolve through the build RPATH)
//     <root>/bin/sqldrivers/libqsqlite.so  -> the build tree's link target
//     <root>/bin/etc/webinterface          -> the build tree's bin/etc/webinterface
//     <root>/bin/data/scripts/             batch scripts given by the test
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

export const ADMIN = { username: 'admin', password: 'tansy' };

const { values: options } = parseArgs({ options: { binary: { type: 'string' }, build: { type: 'string' },
    artifacts: { type: 'string' } }, strict: false });
export const BINARY = options.binary && path.resolve(options.binary);
export const BUILD_DIR = options.build ? path.resolve(options.build)
    : BINARY ? path.dirname(path.dirname(BINARY)) : null;
export const ARTIFACTS = path.resolve(options.artifacts || path.join(BUILD_DIR || os.tmpdir(), 'webui-artifacts'));

export function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.listen(0, '127.0.0.1', () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
        server.on('error', reject);
    });
}

async function waitForPort(port, proc, output, timeoutMs = 20000) {
    const deadline = Date.now() + timeoutMs;
    while (Date.now() < deadline) {
        if (proc.exitCode !== null)
            throw new Error(`server exited with ${proc.exitCode}:\n${output.join('')}`);
        const open = await new Promise((resolve) => {
            const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
            socket.on('error', () => resolve(false));
        });
        if (open)
            return;
        await new Promise((r) => setTimeout(r, 50));
    }
    throw new Error(`server did not listen on ${port}:\n${output.join('')}`);
}

/** Starts a server process from `bin` (an executable directory) with `cwd`; resolves when it listens. */
export async function runServer(bin, cwd, port) {
    const output = [];
    const proc = spawn(path.join(bin, 'hxbserver'), [], { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
    proc.stdout.on('data', (d) => output.push(d.toString()));
    proc.stderr.on('data', (d) => output.push(d.toString()));
    await waitForPort(port, proc, output);
    return {
        proc,
        output,
        stop: async () => {
            if (proc.exitCode === null && proc.signalCode === null) {
                const exited = new Promise((r) => proc.once('exit', r));
                proc.kill('SIGKILL');
                await exited;
            }
        },
    };
}

/**
 * The built server in a private tree; `scripts` maps batch-script names to their text, `config`
 * adds to (or replaces) the keys of hxbconfig.ini by section. With Core/tls_port set it is ready
 * when that port accepts too.
 */
export async function startServer({ scripts = {}, config = {} } = {}) {
    if (!BINARY)
        throw new Error('--binary PATH_TO_HXBSERVER is required');
    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'hxbwebui-'));
    const bin = path.join(root, 'bin');
    const srcBin = path.dirname(BINARY);
    fs.mkdirSync(path.join(bin, 'sqldrivers'), { recursive: true });
    fs.mkdirSync(path.join(bin, 'etc'), { recursive: true });
    fs.copyFileSync(BINARY, path.join(bin, 'hxbserver'));
    fs.chmodSync(path.join(bin, 'hxbserver'), 0o755);
    fs.symlinkSync(fs.realpathSync(path.join(srcBin, 'sqldrivers', 'libqsqlite.so')),
        path.join(bin, 'sqldrivers', 'libqsqlite.so'));
    fs.symlinkSync(path.join(srcBin, 'etc', 'webinterface'), path.join(bin, 'etc', 'webinterface'));
    fs.mkdirSync(path.join(bin, 'data', 'scripts'), { recursive: true });
    for (const [name, text] of Object.entries(scripts))
        fs.writeFileSync(path.join(bin, 'data', 'scripts', name), text, { mode: 0o755 });
    const port = await freePort();
    const cfg = { ...config,
        Core: { port: String(port), logpath: root, oversubscribe: 'true', ...config.Core } };
    fs.writeFileSync(path.join(root, 'hxbconfig.ini'), Object.entries(cfg).map(([section, values]) =>
        `[${section}]\n${Object.entries(values).map(([k, v]) => `${k}=${v}`).join('\n')}\n`).join(''));
    const server = await runServer(bin, root, port);
    if (cfg.Core.tls_port) {
        try {
            await waitForPort(Number(cfg.Core.tls_port), server.proc, server.output);
        } catch (e) {
            await server.stop();
            throw e;
        }
    }
    return {
        ...server,
        root,
        port,
        url: `http://127.0.0.1:${port}/`,
        async cleanup() {
            await server.stop();
            fs.rmSync(root, { recursive: true, force: true });
        },
    };
}

export async function launchBrowser({ args = [] } = {}) {
    return chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', ...args] });
}

/**
 * A fresh browser context and page at the laptop size the front end is made for. Every
 * console error and every request the page could not complete is recorded in `problems`.
 */
export async function openPage(browser, url, { viewport = { width: 1366, height: 768 } } = {}) {
    const context = await browser.newContext({ viewport, acceptDownloads: true });
    const page = await context.newPage();
    page.problems = [];
    page.on('console', (m) => { if (m.type() === 'error') page.problems.push(`console: ${m.text()}`); });
    page.on('pageerror', (e) => page.problems.push(`page error: ${e.message}`));
    if (url)
        await page.goto(url);
    return page;
}

export async function screenshot(page, name) {
    fs.mkdirSync(ARTIFACTS, { recursive: true });
    const file = path.join(ARTIFACTS, `${name}.png`);
    await page.screenshot({ path: file, fullPage: true });
    return file;
}

export async function logIn(page, { username, password }) {
    await page.getByLabel('User name').fill(username);
    await page.getByLabel('Password', { exact: true }).fill(password);
    await page.getByRole('button', { name: 'Log in' }).click();
}

/** A request to the server outside the browser (for set-up and for checking what it holds). */
export async function call(server, route, { method = 'POST', auth, body, headers = {} } = {}) {
    const sent = { ...headers };
    if (auth && auth.username)
        sent.Authorization = 'Basic ' + Buffer.from(`${auth.username}:${auth.password}`).toString('base64');
    else if (auth)
        sent.Authorization = 'Bearer ' + auth;
    const response = await fetch(server.url + route.replace(/^\//, ''), { method, body, headers: sent });
    return { status: response.status, text: await response.text() };
}

export function slurmUp() {
    try {
        return execFileSync('scontrol', ['ping'], { encoding: 'utf8', timeout: 30000 }).includes('UP');
    } catch {
        return false;
    }
}
