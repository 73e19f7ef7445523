// Log-in, log-out, session renewal and end, user administration and its refusal for normal
// users, and error messages, in Chromium against the built server.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startServer, launchBrowser, openPage, screenshot, logIn, call, ADMIN } from './support.mjs';

let server;
let browser;

before(async () => {
    server = await startServer();
    browser = await launchBrowser();
});

after(async () => {
    await browser?.close();
    await server?.cleanup();
});

async function createUser(username, password, type = 0) {
    const login = await call(server, '/user/login', { method: 'GET', auth: ADMIN });
    const answer = await call(server, '/user/create', { auth: login.text,
        body: JSON.stringify({ username, password, type }) });
    assert.equal(answer.status, 200, answer.text);
    return JSON.parse(answer.text).id;
}

test('"/" leads to the log-in form; a wrong password is refused, a right one opens the jobs, log-out ends the session', async () => {
    const page = await openPage(browser, server.url);
    assert.match(page.url(), /\/static\/hxbwebinterface\/$/);
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    await screenshot(page, 'login');

    await logIn(page, { username: 'admin', password: 'wrong' });
    await page.getByText('Wrong user name or password.').waitFor();
    assert.equal(await page.locator('#topbar').isVisible(), false);

    await logIn(page, ADMIN);
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
    const token = await page.evaluate(() => JSON.parse(sessionStorage.getItem('hxb.session')).token);
    assert.equal((await call(server, '/batchbay/jobinfo', { method: 'GET', auth: token })).status, 200);
    assert.match(await page.locator('#user-name').textContent(), /admin · administrator/);

    await page.getByRole('button', { name: 'Log out' }).click();
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    // The server forgot the token, not only the page.
    assert.equal((await call(server, '/batchbay/jobinfo', { method: 'GET', auth: token })).status, 401);
    assert.deepEqual(page.problems.filter((p) => !p.includes('405')), []);
    await page.context().close();
});

test('an administrator lists, creates, retypes, resets and deletes users; refusals are shown', async () => {
    const page = await openPage(browser, server.url);
    await logIn(page, ADMIN);
    await page.getByRole('link', { name: 'Users' }).click();
    const table = page.locator('#users-table');
    await table.locator('tr[data-username="admin"]').waitFor();

    await page.getByLabel('User name').fill('bob');
    await page.getByLabel('Password', { exact: true }).fill('bob-secret');
    await page.getByRole('button', { name: 'Create user' }).click();
    const bob = table.locator('tr[data-username="bob"]');
    await bob.waitFor();
    assert.match(await bob.textContent(), /User/);

    // A taken name: the server refuses, the page says so.
    await page.getByLabel('User name').fill('bob');
    await page.getByLabel('Password', { exact: true }).fill('x-password');
    await page.getByRole('button', { name: 'Create user' }).click();
    await page.getByRole('alert').filter({ hasText: 'could not be created' }).waitFor();
    // A broken account rule: the page shows the server's own words.
    await page.getByLabel('User name').fill('carl');
    await page.getByLabel('Password', { exact: true }).fill('short');
    await page.getByRole('button', { name: 'Create user' }).click();
    await page.getByRole('alert').filter({ hasText: 'at least 8 characters' }).waitFor();

    await bob.getByRole('button', { name: 'Make administrator' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Change type' }).click();
    await bob.getByText('Administrator').waitFor();
    await screenshot(page, 'users');

    await bob.getByRole('button', { name: 'Reset password' }).click();
    await page.getByRole('dialog').getByLabel('New password', { exact: true }).fill('bob-new-pw');
    await page.getByRole('dialog').getByRole('button', { name: 'Reset password' }).click();
    await page.getByText('The password of bob was reset').waitFor();
    assert.equal((await call(server, '/user/login', { method: 'GET', auth: { username: 'bob', password: 'bob-new-pw' } })).status, 200);

    // Administrators cannot delete or retype themselves: the page does not offer it.
    const self = table.locator('tr[data-username="admin"]');
    assert.equal(await self.getByRole('button', { name: 'Delete' }).isDisabled(), true);

    await bob.getByRole('button', { name: 'Delete' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Delete' }).click();
    await bob.waitFor({ state: 'detached' });
    assert.equal((await call(server, '/user/login', { method: 'GET', auth: { username: 'bob', password: 'bob-new-pw' } })).status, 405);
    await page.context().close();
});

test('a normal user sees no user administration, the server refuses it, and the own password can be changed', async () => {
    await createUser('carol', 'carol-one');
    const page = await openPage(browser, server.url);
    await logIn(page, { username: 'carol', password: 'carol-one' });
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
    assert.equal(await page.getByRole('navigation', { name: 'Main' }).getByRole('link', { name: 'Users' }).count(), 0);

    await page.goto(server.url + 'static/hxbwebinterface/#/users');
    await page.getByText('This view is for administrators.').waitFor();
    assert.equal(await page.locator('#users-table').count(), 0);
    // The server refuses the list to this session whatever the page shows.
    const status = await page.evaluate(async () => {
        const { token } = JSON.parse(sessionStorage.getItem('hxb.session'));
        return (await fetch('/user/list', { method: 'POST', headers: { Authorization: 'Bearer ' + token } })).status;
    });
    assert.equal(status, 405);

    await page.getByRole('link', { name: 'Account' }).click();
    await page.getByLabel('Current password').fill('wrong');
    await page.getByLabel('New password', { exact: true }).fill('carol-two');
    await page.getByLabel('Repeat the new password').fill('carol-two');
    await page.getByRole('button', { name: 'Change password' }).click();
    await page.getByText('the current password is wrong').waitFor();
    await page.getByLabel('Current password').fill('carol-one');
    await page.getByLabel('New password', { exact: true }).fill('carol-two');
    await page.getByLabel('Repeat the new password').fill('carol-two');
    await page.getByRole('button', { name: 'Change password' }).click();
    await page.getByText('Your password was changed.').waitFor();
    assert.equal((await call(server, '/user/login', { method: 'GET', auth: { username: 'carol', password: 'carol-two' } })).status, 200);
    await screenshot(page, 'account');
    await page.context().close();
});

test('the token is renewed before it expires and the old one is given back', async () => {
    const page = await openPage(browser, null);
    await page.clock.install();
    await page.goto(server.url);
    await logIn(page, ADMIN);
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
    const first = await page.evaluate(() => JSON.parse(sessionStorage.getItem('hxb.session')));
    const renewal = page.waitForRequest((r) => r.url().endsWith('/user/extendToken'));
    const oldGivenBack = page.waitForResponse((r) => r.url().endsWith('/user/logout'));
    // The server's tokens live an hour; renewal is due before the last twelve minutes.
    await page.clock.runFor(50 * 60 * 1000);
    await renewal;
    await page.waitForFunction((old) => JSON.parse(sessionStorage.getItem('hxb.session')).token !== old, first.token);
    const second = await page.evaluate(() => JSON.parse(sessionStorage.getItem('hxb.session')));
    assert.equal((await call(server, '/batchbay/jobinfo', { method: 'GET', auth: second.token })).status, 200);
    await oldGivenBack;
    assert.equal((await call(server, '/batchbay/jobinfo', { method: 'GET', auth: first.token })).status, 401);
    await page.context().close();
});

test('an ended session and an unreachable server become messages in the page', async () => {
    const userId = await createUser('dave', 'dave-one');
    const page = await openPage(browser, server.url);
    await logIn(page, { username: 'dave', password: 'dave-one' });
    await page.getByRole('link', { name: 'Account' }).click();
    // An administrator resets dave's password elsewhere: every session of dave ends.
    const admin = await call(server, '/user/login', { method: 'GET', auth: ADMIN });
    assert.equal((await call(server, '/user/resetPassword', { auth: admin.text,
        body: JSON.stringify({ userId, password: 'dave-two' }) })).status, 200);
    await page.getByLabel('Current password').fill('dave-one');
    await page.getByLabel('New password', { exact: true }).fill('dave-three');
    await page.getByLabel('Repeat the new password').fill('dave-three');
    await page.getByRole('button', { name: 'Change password' }).click();
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    await page.getByText('Your session has expired. Please log in again.').waitFor();

    await logIn(page, { username: 'dave', password: 'dave-two' });
    // Back where the session ended.
    await page.getByRole('heading', { name: 'Account' }).waitFor();
    // A job that is not on the server.
    await page.goto(server.url + 'static/hxbwebinterface/#/jobs/no-such-job');
    await page.getByText('This job is no longer on the server').waitFor();
    await page.goto(server.url + 'static/hxbwebinterface/#/jobs');
    await page.getByText(/^Updated /).waitFor();
    await server.stop();
    await page.getByText('The server cannot be reached.').first().waitFor({ timeout: 15000 });
    await page.locator('.live.stale').waitFor();
    await screenshot(page, 'server-unreachable');
    await page.context().close();
});
