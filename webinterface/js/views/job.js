// One job: its facts, input upload and submission, cancel and finalise, the standard output
// followed live, and the output files.
import * as api from '../api.js';
import { h, notify, confirmDialog, stateBadge, formatTime, maybeHidden, Poller, isActiveState } from '../ui.js';
import { createUploader } from '../uploader.js';

const REFRESH_MS = 3000;

export function mount(container, { jobId }) {
    const session = api.currentSession();
    let job = null;
    let gone = false;
    let outputLoadedFor = '';

    const title = h('h1', { class: 'job-title' }, 'Job ', h('code', {}, jobId));
    const badgeSlot = h('span', { id: 'job-state-badge' });
    const facts = h('dl', { class: 'facts', id: 'job-facts' });
    const permission = h('p', { class: 'muted', hidden: true });

    const submitButton = h('button', { type: 'button', class: 'button primary', id: 'job-submit' }, 'Upload and submit');
    const cancelButton = h('button', { type: 'button', class: 'button', id: 'job-cancel' }, 'Cancel job');
    const finalizeButton = h('button', { type: 'button', class: 'button danger', id: 'job-finalize' }, 'Finalise');
    const actions = h('div', { class: 'row actions-row' }, submitButton, cancelButton, finalizeButton);

    const uploader = createUploader({ label: 'Input files' });
    const inputSection = h('section', { class: 'card', id: 'job-inputs', hidden: true },
        h('h2', {}, 'Input'),
        h('p', { class: 'muted' }, 'The job waits for its input files. Add files or whole folders, then submit it to the cluster.'),
        uploader.element);

    const stdout = h('pre', { class: 'stdout', id: 'job-stdout', tabindex: '0', 'aria-label': 'Standard output' });
    const follow = h('input', { type: 'checkbox', id: 'job-follow', checked: true });
    const stdoutState = h('span', { class: 'muted' });
    const outputSection = h('section', { class: 'card' },
        h('div', { class: 'section-header' }, h('h2', {}, 'Standard output'), stdoutState,
            h('label', { class: 'check' }, follow, ' Follow')),
        stdout);

    const fileList = h('ul', { class: 'file-list', id: 'job-files' });
    const filesNote = h('p', { class: 'muted' }, 'Output files appear here when the job has finished.');
    const filesSection = h('section', { class: 'card' },
        h('div', { class: 'section-header' }, h('h2', {}, 'Output files'),
            h('button', { type: 'button', class: 'button small', id: 'job-files-refresh', onclick: () => loadFiles(true) }, 'Refresh')),
        filesNote, fileList);

    function mayAct() {
        return job && (session.isAdmin || job.ownerid === -1 || job.ownerid === session.userId);
    }

    function renderJob() {
        if (gone) {
            badgeSlot.replaceChildren();
            facts.replaceChildren();
            actions.hidden = true;
            inputSection.hidden = true;
            permission.hidden = false;
            permission.textContent = 'This job is no longer on the server (it was finalised).';
            return;
        }
        if (!job)
            return;
        badgeSlot.replaceChildren(stateBadge(job.state));
        const fact = (label, value) => [h('dt', {}, label), h('dd', {}, value)];
        facts.replaceChildren(
            ...fact('Project', maybeHidden(job.projectname)),
            ...fact('Design', maybeHidden(job.designname)),
            ...fact('Run', maybeHidden(job.runname)),
            ...fact('Owner', job.ownername),
            ...fact('Node', maybeHidden(job.node)),
            ...fact('Slurm ID', job.slurmid > 0 ? String(job.slurmid) : '—'),
            ...fact('Priority', job.priority === null || job.priority === undefined ? '—' : String(job.priority)),
            ...fact('Received', formatTime(job.received_timestamp)),
            ...fact('Started', formatTime(job.started_timestamp)),
            ...fact('Job directory', maybeHidden(job.jobdir)),
            ...fact('Files removed at finalise', job.removefiles ? 'Yes' : 'No'));
        const waiting = job.state === 'waiting for input';
        const allowed = mayAct();
        permission.hidden = allowed;
        permission.textContent = allowed ? '' : 'This job belongs to another user: you can look at it but not change it.';
        actions.hidden = !allowed;
        inputSection.hidden = !(waiting && allowed);
        submitButton.hidden = !waiting;
        cancelButton.hidden = !(waiting || isActiveState(job.state)) || job.state === 'tobecancelled';
    }

    async function refreshJob() {
        try {
            const jobs = await api.jobList();
            job = jobs.find((j) => j.jobid === jobId) || null;
            gone = job === null;
        } catch (e) {
            if (e.status !== 401)
                notify(api.describeError(e));
            return;
        }
        renderJob();
        await refreshOutput();
        if (job && ['finished', 'failed'].includes(job.state) && outputLoadedFor !== job.state)
            await loadFiles(false);
    }

    async function refreshOutput() {
        if (!job || job.state === 'waiting for input')
            return;
        const live = isActiveState(job.state);
        // The output of a job that has ended changes no more: read it once.
        if (!live && stdout.dataset.final === job.state)
            return;
        try {
            const text = await api.jobOutput(jobId);
            const atBottom = stdout.scrollTop + stdout.clientHeight >= stdout.scrollHeight - 8;
            if (stdout.textContent !== text)
                stdout.textContent = text;
            if (follow.checked && (atBottom || live))
                stdout.scrollTop = stdout.scrollHeight;
            stdoutState.textContent = live ? 'following while the job runs' : '';
            if (!live)
                stdout.dataset.final = job.state;
            if (!text)
                stdoutState.textContent = live ? 'no output yet' : 'no output';
        } catch (e) {
            stdoutState.textContent = `not available: ${api.describeError(e)}`;
        }
    }

    async function loadFiles(manual) {
        try {
            const files = await api.outputFileList(jobId);
            outputLoadedFor = job ? job.state : '';
            filesNote.hidden = files.length > 0;
            filesNote.textContent = 'No output files.';
            fileList.replaceChildren(...files.map((name) => h('li', { dataset: { name } },
                h('span', { class: 'file-name' }, name),
                h('button', { type: 'button', class: 'button small', 'aria-label': `Download ${name}`,
                    onclick: () => download(name) }, 'Download'))));
        } catch (e) {
            if (manual || e.status !== 403)
                notify(api.describeError(e));
        }
    }

    async function download(name) {
        try {
            const blob = await api.getOutputFile(jobId, name);
            const url = URL.createObjectURL(blob);
            const link = h('a', { href: url, download: name.split('/').pop() });
            document.body.append(link);
            link.click();
            link.remove();
            setTimeout(() => URL.revokeObjectURL(url), 60000);
        } catch (e) {
            notify(`Download of ${name} failed: ${api.describeError(e)}`);
        }
    }

    submitButton.addEventListener('click', async () => {
        submitButton.disabled = true;
        try {
            await uploader.uploadAll(jobId);
            await api.finishedUploading(jobId);
            notify('The job was submitted to the cluster.', 'success');
            await refreshJob();
        } catch (e) {
            notify(api.describeError(e));
        } finally {
            submitButton.disabled = false;
        }
    });
    cancelButton.addEventListener('click', async () => {
        if (!(await confirmDialog('Cancel job', `Cancel job ${jobId}? Slurm stops it if it is running.`, 'Cancel job')))
            return;
        try {
            await api.cancelJob(jobId);
            notify('Cancellation requested.', 'success');
            await refreshJob();
        } catch (e) {
            notify(api.describeError(e));
        }
    });
    finalizeButton.addEventListener('click', async () => {
        const text = job && job.removefiles
            ? `Finalise job ${jobId}? It is removed from the server together with its files.`
            : `Finalise job ${jobId}? It is removed from the server's job list.`;
        if (!(await confirmDialog('Finalise job', text, 'Finalise')))
            return;
        try {
            await api.finalizeJob(jobId);
            notify(`Job ${jobId} was finalised.`, 'success');
            location.hash = '#/jobs';
        } catch (e) {
            notify(api.describeError(e));
        }
    });
    submitButton.textContent = 'Submit';

    container.replaceChildren(
        h('nav', { class: 'breadcrumb', 'aria-label': 'Breadcrumb' }, h('a', { href: '#/jobs' }, 'Jobs'), ' / ', jobId),
        h('div', { class: 'view-header' }, title, badgeSlot, actions),
        permission,
        h('div', { class: 'columns wide-right' },
            h('section', { class: 'card' }, h('h2', {}, 'Details'), facts),
            h('div', { class: 'stack' }, inputSection, outputSection, filesSection)));

    const poller = new Poller(refreshJob, REFRESH_MS).start();
    return () => poller.stop();
}
