// The page's memory while the browser downloads a large job result (run by hand, not a test):
//     node bench/download/download_memory.mjs --binary build/bin/hxbserver [--gib 1]
// A job on the local Slurm writes a sparse file of the given size; the page of the job offers
// it, the file's download button is pressed, and the browser's own download saves it to disk.
// Prints the page's JavaScript heap (Chromium's Performance metrics) before and after, the
// renderer's growth, and the time the download took.
import fs from 'node:fs';
import { parseArgs } from 'node:util';
import { ADMIN, launchBrowser, logIn, openPage, startServer } from '../../tests/webui/support.mjs';

const { values } = parseArgs({ options: { gib: { type: 'string', default: '1' } }, strict: false });
const bytes = Math.round(Number(values.gib) * 1024 * 1024 * 1024);
const server = await startServer({ scripts: { 'big.sh': `#!/bin/bash\ntruncate -s ${bytes} big.bin\necho done\n` } });
const browser = await launchBrowser();
try {
    const page = await openPage(browser, server.url);
    await logIn(page, ADMIN);
    await page.getByRole('link', { name: 'New job' }).first().click();
    await page.getByLabel('Application').selectOption({ label: 'big.sh' });
    await page.getByLabel('Project').fill('bench');
    await page.getByLabel('Design').fill('big');
    await page.getByLabel('Output files').fill('big.bin');
    await page.getByRole('button', { name: 'Submit job' }).click();
    await page.waitForURL(/#\/jobs\/web-/);
    await page.locator('#job-files li[data-name="big.bin"]').waitFor({ timeout: 120000 });

    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Performance.enable');
    const heap = async () => (await cdp.send('Performance.getMetrics')).metrics
        .find((m) => m.name === 'JSHeapUsedSize').value;
    const before = await heap();
    const started = Date.now();
    const downloadEvent = page.waitForEvent('download');
    await page.getByRole('button', { name: 'Download big.bin' }).click();
    const download = await downloadEvent;
    let peak = before;
    const sampler = setInterval(async () => { peak = Math.max(peak, await heap().catch(() => 0)); }, 100);
    const file = await download.path();
    clearInterval(sampler);
    const seconds = (Date.now() - started) / 1000;
    const size = fs.statSync(file).size;
    console.log(`downloaded ${size} bytes in ${seconds.toFixed(1)} s (${(size / seconds / 1048576).toFixed(0)} MiB/s)`);
    console.log(`page JS heap: before ${(before / 1048576).toFixed(1)} MiB, peak ${(peak / 1048576).toFixed(1)} MiB, ` +
        `after ${((await heap()) / 1048576).toFixed(1)} MiB`);
    if (size !== bytes)
        process.exitCode = 1;
} finally {
    await browser.close();
    await server.cleanup();
}
