// Jobs from the browser on the live local Slurm cluster: a job submitted with an uploaded
// folder and followed to "finished" with its output shown and downloaded, finalise, cancel,
// the job list, and the cluster view.
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
    await screenshot(page, 'job-finished');

    const downloadEvent = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Download result.txt' }).click();
    const download = await downloadEvent;
    assert.equal(download.suggestedFilename(), 'result.txt');
    assert.equal(fs.readFileSync(await download.path(), 'utf8'), 'PRESSURE 4.2 BAR\n');

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

    await page.getByRole('button', { name: 'Cancel job' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Cancel job' }).click();
    await badge().filter({ hasText: 'Failed' }).waitFor({ timeout: 60000 });
    const squeue = execFileSync('squeue', ['-h', '-j', String(slurmid), '-o', '%T'], { encoding: 'utf8' }).trim();
    assert.ok(squeue === '' || squeue === 'CANCELLED' || squeue === 'COMPLETING', squeue);
});

test('the cluster view shows the local node and every partition as numbers and charts', async () => {
    const nodes = execFileSync('sinfo', ['-h', '-N', '-o', '%N'], { encoding: 'utf8' }).trim().split('\n');
    const partitions = execFileSync('sinfo', ['-h', '-o', '%R'], { encoding: 'utf8' }).trim().split('\n').sort();
    await page.getByRole('link', { name: 'Cluster' }).click();
    await page.locator('#partitions-table tbody tr').first().waitFor();
    assert.equal(await page.locator('#stat-nodes').textContent(), String(new Set(nodes).size));
    assert.deepEqual(await page.locator('#partitions-table tbody tr').evaluateAll(
        (rows) => rows.map((r) => r.dataset.partition)), partitions);
    const charted = await page.evaluate(() => ['chart-total', 'chart-cpus', 'chart-states']
        .map((id) => window.Chart.getChart(id)?.data.datasets[0].data.length ?? 0));
    assert.ok(charted.every((n) => n > 0), String(charted));
    await screenshot(page, 'cluster');
    assert.deepEqual(page.problems, []);
});
