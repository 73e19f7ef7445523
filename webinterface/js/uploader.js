// Input-file picker with drag and drop of files and whole folders, and per-file and overall
// upload progress. Used by the job view and by the new-job form.
import { uploadFile, describeError } from './api.js';
import { h, formatBytes } from './ui.js';

function readAllEntries(reader) {
    return new Promise((resolve, reject) => {
        const all = [];
        const next = () => reader.readEntries((entries) => {
            if (entries.length === 0)
                resolve(all);
            else {
                all.push(...entries);
                next();
            }
        }, reject);
        next();
    });
}

async function collectEntry(entry, out) {
    if (entry.isFile) {
        const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
        out.push({ file, path: entry.fullPath.replace(/^\/+/, '') });
    } else if (entry.isDirectory) {
        for (const child of await readAllEntries(entry.createReader()))
            await collectEntry(child, out);
    }
}

let uploaderCount = 0;

export function createUploader({ label = 'Input files' } = {}) {
    const id = `uploader-${++uploaderCount}`;
    const items = []; // { file, path, row, bar, status, done }
    const fileInput = h('input', { type: 'file', multiple: true, id: `${id}-files`, class: 'visually-hidden' });
    const folderInput = h('input', { type: 'file', multiple: true, id: `${id}-folder`, class: 'visually-hidden',
        webkitdirectory: true });
    const list = h('ul', { class: 'upload-list', 'aria-label': 'Files to upload' });
    const overallBar = h('progress', { max: 1, value: 0, id: `${id}-overall`, 'aria-label': 'Overall upload progress' });
    const overallText = h('span', { class: 'muted' }, 'No files chosen');
    const overall = h('div', { class: 'upload-overall' }, overallBar, overallText);
    let busy = false;

    const zone = h('div', { class: 'drop-zone', 'data-testid': 'drop-zone' },
        h('p', {}, 'Drop files or folders here, or'),
        h('div', { class: 'row' },
            h('label', { class: 'button', for: `${id}-files` }, 'Choose files'),
            h('label', { class: 'button', for: `${id}-folder` }, 'Choose a folder')),
        fileInput, folderInput);
    // Labels act as buttons for the hidden inputs; make them reachable and usable by keyboard.
    for (const button of zone.querySelectorAll('label.button')) {
        button.tabIndex = 0;
        button.setAttribute('role', 'button');
        button.addEventListener('keydown', (event) => {
            if (event.key === 'Enter' || event.key === ' ') {
                event.preventDefault();
                document.getElementById(button.htmlFor).click();
            }
        });
    }

    function totals() {
        const total = items.reduce((sum, item) => sum + item.file.size, 0);
        const sent = items.reduce((sum, item) => sum + item.sent, 0);
        return { total, sent };
    }

    function refreshOverall() {
        const { total, sent } = totals();
        overallBar.max = Math.max(1, total);
        overallBar.value = sent;
        overallText.textContent = items.length === 0 ? 'No files chosen'
            : `${items.length} file${items.length === 1 ? '' : 's'}, ${formatBytes(sent)} of ${formatBytes(total)}`;
    }

    function add(entries) {
        for (const { file, path } of entries) {
            const existing = items.findIndex((item) => item.path === path);
            if (existing >= 0) {
                items[existing].row.remove();
                items.splice(existing, 1);
            }
            const bar = h('progress', { max: Math.max(1, file.size), value: 0, 'aria-label': `Upload of ${path}` });
            const status = h('span', { class: 'upload-status muted' }, formatBytes(file.size));
            const item = { file, path, bar, status, sent: 0, done: false };
            const remove = h('button', { type: 'button', class: 'icon-button', 'aria-label': `Remove ${path}`,
                onclick: () => {
                    if (busy)
                        return;
                    item.row.remove();
                    items.splice(items.indexOf(item), 1);
                    refreshOverall();
                } }, '×');
            item.row = h('li', { class: 'upload-item', dataset: { path } },
                h('span', { class: 'upload-name', title: path }, path), bar, status, remove);
            items.push(item);
            list.append(item.row);
        }
        refreshOverall();
    }

    fileInput.addEventListener('change', () => {
        add(Array.from(fileInput.files, (file) => ({ file, path: file.name })));
        fileInput.value = '';
    });
    folderInput.addEventListener('change', () => {
        add(Array.from(folderInput.files, (file) => ({ file, path: file.webkitRelativePath || file.name })));
        folderInput.value = '';
    });
    zone.addEventListener('dragover', (event) => {
        event.preventDefault();
        zone.classList.add('dragging');
    });
    zone.addEventListener('dragleave', () => zone.classList.remove('dragging'));
    zone.addEventListener('drop', async (event) => {
        event.preventDefault();
        zone.classList.remove('dragging');
        const entries = [];
        const dropped = Array.from(event.dataTransfer.items || [])
            .map((item) => (item.webkitGetAsEntry ? item.webkitGetAsEntry() : null));
        if (dropped.length && dropped.every(Boolean)) {
            for (const entry of dropped)
                await collectEntry(entry, entries);
        } else {
            for (const file of event.dataTransfer.files)
                entries.push({ file, path: file.name });
        }
        add(entries);
    });

    const element = h('fieldset', { class: 'uploader' },
        h('legend', {}, label), zone, list, overall);

    return {
        element,
        get count() {
            return items.length;
        },
        get pending() {
            return items.filter((item) => !item.done).length;
        },
        /** Uploads every file not yet sent, one after the other; throws on the first failure. */
        async uploadAll(jobId) {
            busy = true;
            element.classList.add('busy');
            try {
                for (const item of items) {
                    if (item.done)
                        continue;
                    item.status.textContent = 'Uploading…';
                    item.row.classList.remove('failed');
                    try {
                        await uploadFile(jobId, item.file, item.path, (sent) => {
                            item.sent = sent;
                            item.bar.value = sent;
                            refreshOverall();
                        });
                    } catch (error) {
                        item.sent = 0;
                        item.bar.value = 0;
                        item.row.classList.add('failed');
                        item.status.textContent = 'Failed';
                        refreshOverall();
                        throw new Error(`Upload of ${item.path} failed: ${describeError(error)}`);
                    }
                    item.done = true;
                    item.sent = item.file.size;
                    item.bar.max = Math.max(1, item.file.size);
                    item.bar.value = item.bar.max;
                    item.status.textContent = 'Uploaded';
                    item.row.classList.add('done');
                    refreshOverall();
                }
            } finally {
                busy = false;
                element.classList.remove('busy');
            }
        },
    };
}
