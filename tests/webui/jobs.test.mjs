// Jobs from the browser on the live local Slurm cluster: a job submitted with an uploaded
// folder and followed to "finished" with its output shown and downloaded (one file, and all
// as one archive), submitted again, finalised; a running job cancelled; an ordinary user's
// view of others' jobs; the cluster view; every view at desktop and phone size.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';
import { startServer, launchBrowser, openPage, screenshot, logIn, call, slurmUp, ADMIN } from './support.mjs';

const SCRIPTS = {
    // Lists its inputs, prints a few steps and turns one input into a result.
    'convert.sh': '#!/bin/bash\n'
        + 'echo "args: $JOB_ARGS"\n'
        + 'find inputs -type f | sort\n'
        + 'for i in 1 2 3; do echo "step $i"; sleep 1; done\n'
        + 'tr a-z A-Z < inputs/data/values.txt > result.txt\n'
        + 'echo done\n',
    'sleeper.sh': '#!/bin/bash\necho started\nsleep 300\necho slept\n',
};

let server;
let browser;
let page;
let inputs;
const DESKTOP = { width: 1366, height: 768 };
const PHONE = { width: 390, height: 844 };
const USER = { username: 'olga', password: 'olga-password' };

/** The names and contents of a ZIP archive, read by Python's zipfile (CRCs checked). */
function zipEntries(file) {
    const script = 'import json,sys,zipfile\nz=zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n'
        + 'print(json.dumps({n: z.read(n).decode() for n in z.namelist()}))';
    return JSON.parse(execFileSync('python3', ['-c', script, file], { encoding: 'utf8' }));
}

/** Nothing is wider than the window: no part of the page needs sideways scrolling. */
async function assertFitsWidth(p, what) {
    const { scroll, width } = await p.evaluate(() => ({ scroll: document.documentElement.scrollWidth, width: window.innerWidth }));
    assert.ok(scroll <= width, `${what}: the page is ${scroll} px wide in a ${width} px window`);
}

/** Every visible button and link of `selector` lies inside the window. */
async function assertReachable(p, selector) {
    const width = p.viewportSize().width;
    const boxes = await p.locator(selector).evaluateAll((nodes) => nodes.filter((n) => n.offsetParent !== null)
        .map((n) => { const r = n.getBoundingClientRect(); return { left: r.left, right: r.right, text: n.textContent }; }));
    assert.ok(boxes.length > 0, `no ${selector}`);
    for (const box of boxes)
        assert.ok(box.left >= 0 && box.right <= width, `"${box.text}" lies outside the window (${box.left}–${box.right})`);
}

/** Screenshots of every main view at the page's size, named <prefix>-<view>. */
async function shootViews(p, prefix, { jobId, admin }) {
    const views = [['jobs', '#/jobs', '#jobs-table'], ['job', `#/jobs/${encodeURIComponent(jobId)}`, '#job-facts dt'],
        ['submit', '#/submit', '#submit-form'], ['cluster', '#/cluster', '#partitions-table tbody tr'],
        ['account', '#/account', '#old-password']];
    if (admin)
        views.push(['users', '#/users', '#users-table tbody tr']);
    for (const [name, hash, ready] of views) {
        await p.evaluate((h) => { location.hash = h; }, hash);
        await p.locator(ready).first().waitFor();
        await assertFitsWidth(p, `${prefix} ${name}`);
        await screenshot(p, `${prefix}-${name}`);
    }
}

before(async () => {
    // The test command starts the cluster; without it these tests must fail, not skip.
    assert.ok(slurmUp(), 'the local Slurm cluster is not running (scripts/local-slurm.sh start)');
    server = await startServer({ scripts: SCRIPTS });
    browser = await launchBrowser();
    inputs = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'hxbwebui-in-')), 'inputs');
    fs.mkdirSync(path.join(inputs, 'data'), { recursive: true });
    fs.writeFileSync(path.join(inputs, 'a.txt'), 'first input\n');
    fs.writeFileSync(path.join(inputs, 'data', 'values.txt'), 'pressure 4.2 bar\n');
    page = await openPage(browser, server.url);
    await logIn(page, ADMIN);
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
});

after(async () => {
    await browser?.close();
    await server?.cleanup();
    if (inputs)
        fs.rmSync(path.dirname(inputs), { recursive: true, force: true });
});

async function newJob({ app, project, design, args = '', outputs, folder }) {
    await page.getByRole('link', { name: 'New job' }).first().click();
    await page.getByRole('heading', { name: 'New job' }).waitFor();
    await page.getByLabel('Application').selectOption({ label: app });
    await page.getByLabel('Project').fill(project);
    await page.getByLabel('Design').fill(design);
    await page.getByLabel('Arguments').fill(args);
    if (outputs)
        await page.getByLabel('Output files').fill(outputs);
    if (folder)
        await page.locator('input[webkitdirectory]').setInputFiles(folder);
    await page.getByRole('button', { name: 'Submit job' }).click();
    await page.waitForURL(/#\/jobs\/web-/);
    return decodeURIComponent(page.url().split('#/jobs/')[1]);
}

async function jobOnServer(jobId) {
    const answer = await call(server, '/batchbay/jobinfo', { method: 'GET', auth: ADMIN });
    return JSON.parse(answer.text).jobs.find((j) => j.jobid === jobId);
}

function badge() {
    return page.locator('#job-state-badge .badge');
}

test('a job submitted with an uploaded folder is followed to "finished", its output shown and downloaded, then finalised', async () => {
    await page.getByRole('link', { name: 'New job' }).first().click();
    // Files dropped on the drop zone join the list (the browser's own drag data).
    await page.locator('[data-testid="drop-zone"]').evaluate((zone) => {
        const data = new DataTransfer();
        data.items.add(new File(['dropped'], 'dropped.txt'));
        zone.dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
    });
    await page.locator('.upload-item[data-path="dropped.txt"]').waitFor();
    await page.getByRole('button', { name: 'Remove dropped.txt' }).click();

    const jobId = await newJob({ app: 'convert.sh', project: 'Hull A', design: 'D1', args: '-n 3',
        outputs: 'result.txt\ninputs', folder: inputs });
    // Both files reached the server under their paths inside the folder.
    await page.locator('#job-stdout').getByText('step 1').waitFor({ timeout: 60000 });
    const running = await jobOnServer(jobId);
    assert.ok(['running', 'finished'].includes(running.state), running.state);
    assert.equal(running.ownername, 'admin');

    await badge().filter({ hasText: 'Finished' }).waitFor({ timeout: 60000 });
    const stdout = page.locator('#job-stdout');
    await stdout.getByText('done').waitFor();
    const text = await stdout.textContent();
    assert.match(text, /args: -n 3/);
    assert.match(text, /inputs\/a\.txt\ninputs\/data\/values\.txt/);
    assert.match(text, /step 3/);

    const files = page.locator('#job-files li');
    await page.locator('#job-files li[data-name="result.txt"]').waitFor();
    assert.deepEqual(await files.evaluateAll((items) => items.map((li) => li.dataset.name)),
        ['inputs/a.txt', 'inputs/data/values.txt', 'result.txt']);
    assert.equal(await page.locator('#job-files li[data-name="result.txt"] .file-size').textContent(), '17 B');
    assert.doesNotMatch(await page.locator('#job-facts').textContent(), /\/\//);
    await screenshot(page, 'job-finished');

    // Downloads are the browser's own: a ticket in the URL, never the session token.
    let downloadEvent = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Download result.txt' }).click();
    let download = await downloadEvent;
    const urls = [download.url()];
    assert.equal(download.suggestedFilename(), 'result.txt');
    assert.equal(fs.readFileSync(await download.path(), 'utf8'), 'PRESSURE 4.2 BAR\n');
    downloadEvent = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Download all' }).click();
    download = await downloadEvent;
    urls.push(download.url());
    assert.equal(download.suggestedFilename(), `${jobId}.zip`);
    assert.deepEqual(zipEntries(await download.path()), { 'inputs/a.txt': 'first input\n',
        'inputs/data/values.txt': 'pressure 4.2 bar\n', 'result.txt': 'PRESSURE 4.2 BAR\n' });
    assert.match(urls[0], /\/batchbay\/download\/[^?]+\?ticket=[A-Za-z0-9_-]{43}$/);
    assert.match(urls[1], /\/batchbay\/downloadAll\/[^?]+\?ticket=[A-Za-z0-9_-]{43}$/);

    // Submitted again: the same application, arguments and options (its inputs are not
    // copied: the script finds no input and still ends with status 0).
    await page.getByRole('link', { name: 'Submit again' }).click();
    await page.getByRole('heading', { name: 'Submit again' }).waitFor();
    // Polled from here: the page's Content-Security-Policy forbids waitForFunction's evaluation.
    for (let i = 0; i < 100 && (await page.inputValue('#submit-args')) !== '-n 3'; ++i)
        await page.waitForTimeout(100);
    assert.equal(await page.inputValue('#submit-args'), '-n 3');
    assert.equal(await page.getByLabel('Project').inputValue(), 'Hull A');
    assert.equal(await page.getByLabel('Output files').inputValue(), 'result.txt\ninputs');
    assert.equal(await page.locator('#submit-app option:checked').textContent(), 'convert.sh');
    await page.getByRole('button', { name: 'Submit job' }).click();
    await page.waitForURL((url) => url.hash.startsWith('#/jobs/web-') && !url.hash.endsWith(encodeURIComponent(jobId)));
    const againId = decodeURIComponent(page.url().split('#/jobs/')[1]);
    await badge().filter({ hasText: 'Finished' }).waitFor({ timeout: 60000 });
    await page.locator('#job-stdout').getByText('args: -n 3').waitFor();
    if ('exitCode' in await jobOnServer(againId))
        await page.locator('#job-exit-code').getByText('0', { exact: true }).waitFor({ timeout: 30000 });
    await screenshot(page, 'job-submitted-again');

    // The live list shows the job; text and state filters narrow it.
    await page.getByRole('navigation', { name: 'Main' }).getByRole('link', { name: 'Jobs' }).click();
    const row = page.locator(`#jobs-table tr[data-jobid="${jobId}"]`);
    await row.waitFor();
    assert.equal(await row.getAttribute('data-state'), 'finished');
    assert.match(await row.textContent(), /Hull A.*D1.*admin/);
    await page.getByLabel('Search').fill('no job has this');
    await row.waitFor({ state: 'detached' });
    await page.getByLabel('Search').fill('hull a');
    await row.waitFor();
    await page.getByLabel('State').selectOption('running');
    await row.waitFor({ state: 'detached' });
    await page.getByLabel('State').selectOption('');
    await row.waitFor();
    await screenshot(page, 'jobs');

    await row.getByRole('link').click();
    await page.getByRole('button', { name: 'Finalise' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Keep' }).click();
    assert.ok(await jobOnServer(jobId), 'kept after the dialog was dismissed');
    await page.getByRole('button', { name: 'Finalise' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Finalise' }).click();
    await page.getByRole('heading', { name: 'Jobs' }).waitFor();
    // A locator, not waitForFunction: the page's Content-Security-Policy forbids the string
    // evaluation that waitForFunction's polling needs.
    await page.locator(`#jobs-table tr[data-jobid="${jobId}"]`).waitFor({ state: 'detached', timeout: 30000 });
    const deadline = Date.now() + 30000;
    while (await jobOnServer(jobId)) {
        assert.ok(Date.now() < deadline, 'the finalised job stays on the server');
        await new Promise((r) => setTimeout(r, 300));
    }
});

test('a running job shows its output live and is cancelled after confirmation', async () => {
    const jobId = await newJob({ app: 'sleeper.sh', project: 'Hull B', design: 'long run' });
    await badge().filter({ hasText: 'Running' }).waitFor({ timeout: 60000 });
    await page.locator('#job-stdout').getByText('started').waitFor({ timeout: 30000 });
    const { slurmid } = await jobOnServer(jobId);
    assert.ok(slurmid > 0);
    await screenshot(page, 'job-running');

    // Finalising a running job says that it stops the job first.
    await page.getByRole('button', { name: 'Finalise' }).click();
    assert.match(await page.getByRole('dialog').textContent(), /has not ended yet: Slurm stops it first/);
    await page.getByRole('dialog').getByRole('button', { name: 'Keep' }).click();

    await page.getByRole('button', { name: 'Cancel job' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Cancel job' }).click();
    await badge().filter({ hasText: /Failed|Cancelled/ }).waitFor({ timeout: 60000 });
    if ('reason' in await jobOnServer(jobId))
        await badge().filter({ hasText: 'Cancelled' }).waitFor({ timeout: 30000 });
    const squeue = execFileSync('squeue', ['-h', '-j', String(slurmid), '-o', '%T'], { encoding: 'utf8' }).trim();
    assert.ok(squeue === '' || squeue === 'CANCELLED' || squeue === 'COMPLETING', squeue);
});

test('the cluster view shows the local node and every partition as numbers and charts', async () => {
    const nodes = execFileSync('sinfo', ['-h', '-N', '-o', '%N'], { encoding: 'utf8' }).trim().split('\n');
    const partitions = execFileSync('sinfo', ['-h', '-o', '%R'], { encoding: 'utf8' }).trim().split('\n').sort();
    await page.getByRole('link', { name: 'Cluster' }).click();
    await page.locator('#partitions-table tbody tr').first().waitFor();
    assert.equal(await page.locator('#stat-nodes').textContent(), String(new Set(nodes).size));
    await page.locator('#nodes-table tbody tr').first().waitFor();
    assert.deepEqual(await page.locator('#nodes-table tbody tr').evaluateAll((rows) => rows.map((r) => r.dataset.node)).then((n) => n.sort()),
        [...new Set(nodes)].sort());
    assert.deepEqual(await page.locator('#partitions-table tbody tr').evaluateAll(
        (rows) => rows.map((r) => r.dataset.partition)), partitions);
    const charted = await page.evaluate(() => ['chart-total', 'chart-cpus', 'chart-states']
        .map((id) => window.Chart.getChart(id)?.data.datasets[0].data.length ?? 0));
    assert.ok(charted.every((n) => n > 0), String(charted));
    await screenshot(page, 'cluster');
    assert.deepEqual(page.problems, []);
});

test('an ordinary user starts on "My jobs", sees others\' jobs without output or actions, and every view fits a phone', async () => {
    const admin = await call(server, '/user/login', { method: 'GET', auth: ADMIN });
    const created = await call(server, '/user/create', { auth: admin.text,
        body: JSON.stringify({ username: USER.username, password: USER.password, type: 0 }) });
    assert.equal(created.status, 200, created.text);
    const adminJob = (await call(server, '/batchbay/jobinfo', { method: 'GET', auth: ADMIN }).then((a) => JSON.parse(a.text).jobs))
        .find((j) => j.ownername === 'admin');
    assert.ok(adminJob, 'an administrator\'s job from the tests before');

    const phone = await openPage(browser, server.url, { viewport: PHONE });
    await logIn(phone, USER);
    await phone.getByRole('heading', { name: 'Jobs' }).waitFor();
    assert.equal(await phone.locator('#jobs-scope-mine').getAttribute('aria-pressed'), 'true');
    await phone.getByText('You have no jobs on the server.').waitFor();
    await assertReachable(phone, '#nav a, #logout');
    await phone.getByRole('button', { name: 'All jobs' }).click();
    const row = phone.locator(`#jobs-table tr[data-jobid="${adminJob.jobid}"]`);
    await row.waitFor();
    await assertReachable(phone, '#jobs-table a');
    await row.getByRole('link').click();
    await phone.locator('#job-facts').getByText(adminJob.jobid).waitFor();
    await phone.getByText('This job is not yours: its output, files and actions are its owner\'s.').waitFor();
    for (const hidden of ['#job-output', '#job-files-section', '#job-finalize', '#job-cancel', '#job-again'])
        assert.equal(await phone.locator(hidden).isVisible(), false, hidden);
    await shootViews(phone, 'phone-user', { jobId: adminJob.jobid, admin: false });
    // The log-in asks for the user list to learn the account's role: its refusal is expected.
    assert.deepEqual(phone.problems.filter((p) => !p.includes('status of 405')), []);
    await phone.context().close();

    // The administrator at both sizes: labels tell jobs apart, nothing is cut off, every
    // button of the user table is reachable on a phone.
    await page.setViewportSize(DESKTOP);
    await page.evaluate(() => { location.hash = '#/jobs'; });
    await page.locator('#jobs-table tbody tr').first().waitFor();
    const labels = await page.locator('#jobs-table .job-link').allTextContents();
    assert.equal(new Set(labels).size, labels.length, labels.join(', '));
    const fit = await page.locator('.table-scroll').first().evaluate((box) => box.scrollWidth <= box.clientWidth);
    assert.ok(fit, 'the job table needs sideways scrolling at 1366 px');
    await shootViews(page, 'desktop-admin', { jobId: adminJob.jobid, admin: true });
    await page.setViewportSize(PHONE);
    await shootViews(page, 'phone-admin', { jobId: adminJob.jobid, admin: true });
    await assertReachable(page, '#users-table button');
    await page.setViewportSize(DESKTOP);
    assert.deepEqual(page.problems, []);
});

test('the words of a job\'s end: cancelled apart from failed, Slurm\'s reason and the exit code, the pending reason', async () => {
    // The server's job records as it reports the end of jobs, served to the page as they come.
    const base = { projectname: 'P', designname: 'D', runname: '', runid: '', node: '', jobdir: '/w//x/',
        ownerid: 1, ownername: 'admin', priority: null, removefiles: true, slurmid: 7,
        received_timestamp: 1796790000, started_timestamp: 1796790001 };
    const records = [
        { jobid: 'j-cancelled', state: 'failed', reason: 'CANCELLED by 0', exitCode: -1 },
        { jobid: 'j-ours', state: 'failed', reason: 'cancelled by admin', exitCode: -1 },
        { jobid: 'j-failed', state: 'failed', reason: 'FAILED NonZeroExitCode', exitCode: 3 },
        { jobid: 'j-refused', state: 'failed', reason: 'invalid partition specified: nope', exitCode: -1, slurmid: -1 },
        { jobid: 'j-pending', state: 'queued', reason: 'PENDING Resources', exitCode: -1 },
        { jobid: 'j-old', state: 'failed', projectname: 'A project whose name goes on and on and on', node: 'node[001-128]' },
    ].map((r) => ({ ...base, ...r }));
    await page.route('**/batchbay/jobinfo', (route) => route.fulfill({ contentType: 'application/json',
        body: JSON.stringify({ jobs: records }) }));
    try {
        await page.evaluate(() => { location.hash = '#/jobs'; });
        await page.getByLabel('Search').fill('');
        const cell = (id) => page.locator(`#jobs-table tr[data-jobid="${id}"] td[data-key="state"]`);
        await cell('j-old').waitFor();
        const expected = { 'j-cancelled': 'Cancelledby uid 0', 'j-ours': 'Cancelledby admin',
            'j-failed': 'FailedNonZeroExitCode, exit 3', 'j-refused': 'Failedinvalid partition specified: nope',
            'j-pending': 'QueuedResources', 'j-old': 'Failed' };
        for (const [id, text] of Object.entries(expected))
            assert.equal(await cell(id).textContent(), text, id);
        // Long texts are cut, whole on hover: the table still fits at 1366 px.
        assert.ok(await page.locator('.table-scroll').first().evaluate((box) => box.scrollWidth <= box.clientWidth));
        assert.equal(await page.locator('#jobs-table tr[data-jobid="j-old"] td[data-key="projectname"]').getAttribute('title'),
            'A project whose name goes on and on and on');
        await page.getByLabel('State').selectOption('cancelled');
        await cell('j-failed').waitFor({ state: 'detached' });
        assert.equal(await page.locator('#jobs-table tbody tr').count(), 2);
        await page.getByLabel('State').selectOption('');

        await page.evaluate(() => { location.hash = '#/jobs/j-failed'; });
        await page.locator('#job-exit-code').getByText('3').waitFor();
        assert.equal(await page.locator('#job-outcome').textContent(), 'Failed with exit code 3.');
        assert.equal(await page.locator('#job-reason').textContent(), 'FAILED NonZeroExitCode');
        assert.match(await page.locator('#job-facts').textContent(), /\/w\/x\//);
        await page.evaluate(() => { location.hash = '#/jobs/j-refused'; });
        await page.locator('#job-outcome').getByText('Slurm did not take the job.').waitFor();
        assert.equal(await page.locator('#job-reason').textContent(), 'invalid partition specified: nope');
        await page.evaluate(() => { location.hash = '#/jobs/j-pending'; });
        await page.locator('#job-facts dt').getByText('Waiting because').waitFor();
        assert.equal(await page.locator('#job-reason').textContent(), 'PENDING Resources');
        await page.evaluate(() => { location.hash = '#/jobs/j-cancelled'; });
        await page.locator('#job-state-badge').getByText('Cancelled').waitFor();
        await screenshot(page, 'job-cancelled');
    } finally {
        await page.unroute('**/batchbay/jobinfo');
    }
});
