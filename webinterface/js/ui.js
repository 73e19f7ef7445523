// Small DOM helpers shared by the views: element building, the page's message area,
// confirmation dialogs, state badges, formatting and a visibility-aware poller.

/** Creates an element: h('button', { class: 'x', onclick: f }, 'text', child, ...). */
export function h(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
        if (value === undefined || value === null || value === false)
            continue;
        if (key.startsWith('on') && typeof value === 'function')
            node.addEventListener(key.slice(2), value);
        else if (key === 'class')
            node.className = value;
        else if (key === 'dataset')
            Object.assign(node.dataset, value);
        else if (value === true)
            node.setAttribute(key, '');
        else
            node.setAttribute(key, String(value));
    }
    for (const child of children.flat()) {
        if (child === null || child === undefined || child === false)
            continue;
        node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
}

let noticeTimer = null;

/** Shows a short message at the top of the page; errors stay until dismissed or replaced. */
export function notify(message, kind = 'error') {
    const area = document.getElementById('notice');
    clearTimeout(noticeTimer);
    area.replaceChildren();
    if (!message)
        return;
    const close = h('button', { class: 'icon-button', type: 'button', 'aria-label': 'Dismiss message',
        onclick: () => area.replaceChildren() }, '×');
    area.append(h('div', { class: `notice notice-${kind}`, role: kind === 'error' ? 'alert' : 'status' },
        h('span', { class: 'notice-text' }, message), close));
    if (kind !== 'error')
        noticeTimer = setTimeout(() => area.replaceChildren(), 5000);
}

/** Asks for confirmation in a modal dialog; resolves to true when confirmed. */
export function confirmDialog(title, text, confirmLabel = 'Confirm', danger = true) {
    return new Promise((resolve) => {
        const dialog = h('dialog', { class: 'dialog', 'aria-labelledby': 'dialog-title' },
            h('form', { method: 'dialog' },
                h('h2', { id: 'dialog-title' }, title),
                h('p', {}, text),
                h('div', { class: 'dialog-actions' },
                    h('button', { type: 'submit', value: 'cancel', class: 'button' }, 'Keep'),
                    h('button', { type: 'submit', value: 'ok', class: danger ? 'button danger' : 'button primary' },
                        confirmLabel))));
        dialog.addEventListener('close', () => {
            resolve(dialog.returnValue === 'ok');
            dialog.remove();
        });
        document.body.append(dialog);
        dialog.showModal();
        dialog.querySelector('button[value="cancel"]').focus();
    });
}

/** Asks for one value (for example a new password) in a modal dialog; resolves to it or null. */
export function promptDialog(title, label, type = 'text', confirmLabel = 'Save') {
    return new Promise((resolve) => {
        const input = h('input', { id: 'dialog-input', type, required: true, autocomplete: 'new-password' });
        const dialog = h('dialog', { class: 'dialog', 'aria-labelledby': 'dialog-title' },
            h('form', { method: 'dialog' },
                h('h2', { id: 'dialog-title' }, title),
                h('label', { for: 'dialog-input' }, label), input,
                h('div', { class: 'dialog-actions' },
                    h('button', { type: 'button', class: 'button', onclick: () => dialog.close('cancel') }, 'Cancel'),
                    h('button', { type: 'submit', value: 'ok', class: 'button primary' }, confirmLabel))));
        dialog.addEventListener('close', () => {
            resolve(dialog.returnValue === 'ok' ? input.value : null);
            dialog.remove();
        });
        document.body.append(dialog);
        dialog.showModal();
        input.focus();
    });
}

export const STATES = ['waiting for input', 'tobesubmitted', 'queued', 'running', 'finished',
    'tobecancelled', 'failed', 'finalized'];

const STATE_LABELS = {
    'waiting for input': 'Waiting for input',
    tobesubmitted: 'Submitting',
    queued: 'Queued',
    running: 'Running',
    finished: 'Finished',
    tobecancelled: 'Cancelling',
    failed: 'Failed',
    finalized: 'Finalised',
    unknown: 'Unknown',
};

export function stateLabel(state) {
    return STATE_LABELS[state] || state;
}

/** True for a failed job that was cancelled (by Slurm's word or by a user through us). */
export function isCancelled(job) {
    const reason = typeof job?.reason === 'string' ? job.reason : '';
    return job?.state === 'failed' && (reason.startsWith('CANCELLED') || reason.startsWith('cancelled by'));
}

/** What the badge says: the state, with a cancelled job told apart from a failed one. */
export function jobStatus(job) {
    if (isCancelled(job))
        return { key: 'cancelled', label: 'Cancelled' };
    const known = Boolean(STATE_LABELS[job.state]);
    return { key: known ? job.state.replace(/\s+/g, '-') : 'unknown', label: stateLabel(job.state) };
}

/** A state badge for a job record, or for a bare state name. */
export function stateBadge(jobOrState) {
    const job = typeof jobOrState === 'string' ? { state: jobOrState } : jobOrState;
    const { key, label } = jobStatus(job);
    return h('span', { class: `badge state-${key}`, dataset: { state: job.state }, title: job.reason || null }, label);
}

/** The script's exit code once Slurm has reported it, else null. */
export function exitCodeOf(job) {
    return Number.isInteger(job?.exitCode) && job.exitCode >= 0 ? job.exitCode : null;
}

/**
 * Slurm's reason in a few words for the job list: why a job waits, or how it ended
 * ("NonZeroExitCode, exit 2", "by admin"). Empty when there is nothing to say.
 */
export function shortReason(job) {
    const reason = typeof job?.reason === 'string' ? job.reason.trim() : '';
    const code = exitCodeOf(job);
    let text = reason;
    const slurm = /^([A-Z_]+)\s+(.*)$/.exec(reason);
    if (slurm)
        // Slurm names who cancelled by user ID ("CANCELLED by 0").
        text = slurm[1] === 'CANCELLED' ? slurm[2].replace(/^by\s+(\d+)$/, 'by uid $1') : slurm[2];
    else if (reason.startsWith('cancelled by '))
        text = reason.slice('cancelled '.length);
    if (text === 'None' || text === 'Unknown')
        text = '';
    if (code !== null && code !== 0 && job.state === 'failed')
        text = text ? `${text}, exit ${code}` : `exit ${code}`;
    return text.length > 48 ? `${text.slice(0, 47)}…` : text;
}

/** Seconds as "45 s", "12 min", "3 h 05 min", "2 d 4 h". */
export function formatDuration(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0)
        return '—';
    const s = Math.floor(seconds);
    if (s < 60)
        return `${s} s`;
    if (s < 3600)
        return `${Math.floor(s / 60)} min`;
    if (s < 86400)
        return `${Math.floor(s / 3600)} h ${String(Math.floor((s % 3600) / 60)).padStart(2, '0')} min`;
    return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
}

/**
 * How long the job has been on the cluster: from its submission to Slurm until now while
 * it is active, or until its end when the record says when that was. null when unknown.
 */
export function runTime(job, now = Date.now() / 1000) {
    const start = job?.started_timestamp;
    if (!start || start <= 0)
        return null;
    const end = job.ended_timestamp || job.finished_timestamp;
    if (end && end >= start)
        return end - start;
    return isActiveState(job.state) && job.state !== 'tobesubmitted' ? Math.max(0, now - start) : null;
}

/** A short, still distinguishable label for a long job ID: its start and its distinct end. */
export function shortJobId(id) {
    const text = String(id ?? '');
    return text.length <= 22 ? text : `${text.slice(0, 4)}…${text.slice(-15)}`;
}

/** A path as shown: runs of "/" folded into one (display only). */
export function displayPath(path) {
    return typeof path === 'string' ? path.replace(/\/{2,}/g, '/') : path;
}

export function isActiveState(state) {
    return ['tobesubmitted', 'queued', 'running', 'tobecancelled'].includes(state);
}

export function formatTime(seconds) {
    if (!seconds || seconds <= 0)
        return '—';
    const date = new Date(seconds * 1000);
    return date.toLocaleString(undefined, { year: 'numeric', month: '2-digit', day: '2-digit',
        hour: '2-digit', minute: '2-digit', second: '2-digit' });
}

export function formatBytes(bytes) {
    if (bytes < 1024)
        return `${bytes} B`;
    const units = ['KiB', 'MiB', 'GiB', 'TiB'];
    let value = bytes / 1024;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
        value /= 1024;
        unit++;
    }
    return `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

/** A value the server replaced by "(hidden)" because the job belongs to someone else. */
export function maybeHidden(value) {
    if (value === '(hidden)')
        return h('span', { class: 'muted hidden-value', title: 'Hidden: the job belongs to another user' }, 'hidden');
    return value === '' || value === undefined || value === null ? h('span', { class: 'muted' }, '—') : String(value);
}

/**
 * Runs `task` now and then every `interval` ms while the tab is visible; never two at once.
 * Pauses in a background tab and runs at once when the tab comes back.
 */
export class Poller {
    constructor(task, interval) {
        this.task = task;
        this.interval = interval;
        this.timer = null;
        this.running = false;
        this.stopped = false;
        this.onVisibility = () => {
            if (document.visibilityState === 'visible')
                this.kick();
            else
                clearTimeout(this.timer);
        };
        document.addEventListener('visibilitychange', this.onVisibility);
    }

    start() {
        this.kick();
        return this;
    }

    async kick() {
        clearTimeout(this.timer);
        if (this.stopped || this.running)
            return;
        this.running = true;
        try {
            await this.task();
        } finally {
            this.running = false;
            if (!this.stopped && document.visibilityState === 'visible')
                this.timer = setTimeout(() => this.kick(), this.interval);
        }
    }

    stop() {
        this.stopped = true;
        clearTimeout(this.timer);
        document.removeEventListener('visibilitychange', this.onVisibility);
    }
}
