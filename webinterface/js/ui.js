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

export function stateBadge(state) {
    const key = STATE_LABELS[state] ? state.replace(/\s+/g, '-') : 'unknown';
    return h('span', { class: `badge state-${key}`, dataset: { state } }, stateLabel(state));
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
