// One job: its facts and how it ended, input upload and submission, cancel and finalise,
// the standard output followed live, the output files (one by one or as one archive) and
// starting it again. Only the owner and administrators see output and files or act.
import * as api from '../api.js';
import { h, notify, confirmDialog, stateBadge, formatTime, formatBytes, formatDuration, maybeHidden, Poller,
    isActiveState, isCancelled, exitCodeOf, runTime, displayPath } from '../ui.js';
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
    const againButton = h('a', { class: 'button', id: 'job-again', href: `#/submit/${encodeURIComponent(jobId)}` }, 'Submit again');
    const actions = h('div', { class: 'row actions-row' }, submitButton, cancelButton, againButton, finalizeButton);

    const uploader = createUploader({ label: 'Input files' });
    const inputSection = h('section', { class: 'card', id: 'job-inputs', hidden: true },
        h('h2', {}, 'Input'),
        h('p', { class: 'muted' }, 'The job waits for its input files. Add files or whole folders, then submit it to the cluster.'),
        uploader.element);

    const stdout = h('pre', { class: 'stdout', id: 'job-stdout', tabindex: '0', 'aria-label': 'Standard output' });
    const follow = h('input', { type: 'checkbox', id: 'job-follow', checked: true });
    const stdoutState = h('span', { class: 'muted' });
    const outputSection = h('section', { class: 'card', id: 'job-output' },
        h('div', { class: 'section-header' }, h('h2', {}, 'Standard output'), stdoutState,
            h('label', { class: 'check' }, follow, ' Follow')),
        stdout);

    const fileList = h('ul', { class: 'file-list', id: 'job-files' });
    const filesNote = h('p', { class: 'muted' }, 'Output files appear here when the job has finished.');
    const downloadAllButton = h('button', { type: 'button', class: 'button small', id: 'job-download-all', hidden: true,
        onclick: () => download(null) }, 'Download all');
    const filesSection = h('section', { class: 'card', id: 'job-files-section' },
        h('div', { class: 'section-header' }, h('h2', {}, 'Output files'),
            h('div', { class: 'row' }, downloadAllButton,
                h('button', { type: 'button', class: 'button small', id: 'job-files-refresh', onclick: () => loadFiles(true) }, 'Refresh'))),
        filesNote, fileList);

    // The server's rule: administrators act on every job, everyone else on their own.
    function mayAct() {
        return Boolean(job) && (session.isAdmin || job.ownerid === session.userId);
    }

    function endText() {
        const code = exitCodeOf(job);
        // A server that reports no exit codes at all has nothing to say about them.
        const noCode = 'exitCode' in job ? '; Slurm reported no exit code.' : '.';
        if (job.state === 'finished')
            return code === null ? `Ended${noCode}` : `Ended with exit code ${code}.`;
        if (isCancelled(job))
            return 'Cancelled before it ended.';
        if (job.state === 'failed' && !(job.slurmid > 0))
            return 'Slurm did not take the job.';
        if (job.state === 'failed')
            return code === null ? `Failed${noCode}` : `Failed with exit code ${code}.`;
        return null;
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
        badgeSlot.replaceChildren(stateBadge(job));
        const fact = (label, value, id) => [h('dt', {}, label), h('dd', id ? { id } : {}, value)];
        const reason = typeof job.reason === 'string' && job.reason ? job.reason : null;
        const elapsed = runTime(job);
        const ended = endText();
        const code = exitCodeOf(job);
        facts.replaceChildren(
            ...fact('Job ID', h('code', {}, jobId)),
            ...(ended ? fact('Outcome', ended, 'job-outcome') : []),
            ...(reason ? fact(job.state === 'queued' ? 'Waiting because' : 'Reason', reason, 'job-reason') : []),
            ...(code !== null ? fact('Exit code', String(code), 'job-exit-code') : []),
            ...(elapsed !== null ? fact('Run time', formatDuration(elapsed), 'job-run-time') : []),
            ...fact('Time limit', 'the partition\'s (the job sets none)'),
            ...fact('Project', maybeHidden(job.projectname)),
            ...fact('Design', maybeHidden(job.designname)),
            ...fact('Run', maybeHidden(job.runname)),
            ...fact('Owner', job.ownername),
            ...fact('Node', maybeHidden(job.node)),
            ...fact('Slurm ID', job.slurmid > 0 ? String(job.slurmid) : '—'),
            ...fact('Priority', job.priority === null || job.priority === undefined ? '—' : String(job.priority)),
            ...fact('Received', formatTime(job.received_timestamp)),
            ...fact('Started', formatTime(job.started_timestamp)),
            ...fact('Job directory', maybeHidden(displayPath(job.jobdir))),
            ...fact('Files removed at finalise', job.removefiles ? 'Yes' : 'No'));
        const waiting = job.state === 'waiting for input';
        const allowed = mayAct();
        permission.hidden = allowed;
        permission.textContent = allowed ? '' : 'This job is not yours: its output, files and actions are its owner\'s.';
        actions.hidden = !allowed;
        outputSection.hidden = !allowed;
        filesSection.hidden = !allowed;
        againButton.hidden = waiting;
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
        if (!mayAct())
            return;
        await refreshOutput();
        // Any request about a job without an owner makes the asking user its owner: that
        // waits for the administrator to ask on purpose.
        if (job && job.ownerid === -1 && ['finished', 'failed'].includes(job.state) && !fileList.children.length)
            filesNote.textContent = 'This job has no owner yet: Refresh lists its files and makes you its owner.';
        else if (job && ['finished', 'failed'].includes(job.state) && outputLoadedFor !== job.state)
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
            const files = await api.outputFiles(jobId);
            outputLoadedFor = job ? job.state : '';
            filesNote.hidden = files.length > 0;
            filesNote.textContent = 'No output files.';
            downloadAllButton.hidden = files.length === 0;
            fileList.replaceChildren(...files.map(({ name, size }) => h('li', { dataset: { name } },
                h('span', { class: 'file-name' }, displayPath(name)),
                h('span', { class: 'file-size muted' }, size === null || size === undefined ? '' : formatBytes(size)),
                h('button', { type: 'button', class: 'button small', 'aria-label': `Download ${name}`,
                    onclick: () => download(name) }, 'Download'))));
        } catch (e) {
            if (manual || e.status !== 403)
                notify(api.describeError(e));
        }
    }

    // The browser saves the file itself, straight to disk; null: all files as one archive.
    async function download(name) {
        try {
            if (name === null)
                await api.downloadAllOutputs(jobId);
            else
                await api.downloadOutputFile(jobId, name);
        } catch (e) {
            notify(`Download of ${name === null ? 'the output files' : name} failed: ${api.describeError(e)}`);
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
        const stops = job && isActiveState(job.state)
            ? 'It has not ended yet: Slurm stops it first. ' : '';
        const text = job && job.removefiles
            ? `Finalise job ${jobId}? ${stops}It is removed from the server together with its files.`
            : `Finalise job ${jobId}? ${stops}It is removed from the server's job list.`;
        if (!(await confirmDialog('Finalise job', text, stops ? 'Stop and finalise' : 'Finalise')))
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
