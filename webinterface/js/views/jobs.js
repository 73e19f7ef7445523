// Live job table: refreshes itself while the tab is visible; "My jobs" or all jobs the
// server shows, sorted and filtered by state and text. Columns fold on narrow screens and
// rows become cards on a phone.
import * as api from '../api.js';
import { h, notify, stateBadge, stateLabel, formatTime, maybeHidden, Poller, STATES, isCancelled,
    shortReason, shortJobId, runTime, formatDuration } from '../ui.js';

const REFRESH_MS = 4000;

/** Today's times as "14:05:09", other days as "2026-12-09 14:05"; the full time on hover. */
function compactTime(seconds) {
    if (!seconds || seconds <= 0)
        return h('span', { class: 'muted' }, '—');
    const date = new Date(seconds * 1000);
    const pad = (n) => String(n).padStart(2, '0');
    const today = new Date().toDateString() === date.toDateString();
    const text = today ? `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`
        : `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ${pad(date.getHours())}:${pad(date.getMinutes())}`;
    return h('time', { datetime: date.toISOString(), title: formatTime(seconds) }, text);
}

function stateCell(job) {
    const reason = shortReason(job);
    return [stateBadge(job), reason ? h('span', { class: 'state-reason muted', title: job.reason || '' }, reason) : null];
}

/** The state a filter sees: a cancelled job is told apart from a failed one. */
function statusOf(job) {
    return isCancelled(job) ? 'cancelled' : job.state;
}

// fold: 1 always shown, 2 hidden below 1200 px, 3 hidden below 900 px (cards show them all).
// clip: long texts are cut with an ellipsis, the whole text on hover.
const COLUMNS = [
    { key: 'state', label: 'State', fold: 1, value: (j) => STATES.indexOf(j.state), cell: stateCell },
    { key: 'jobid', label: 'Job', fold: 1, cell: (j) => h('a', { href: `#/jobs/${encodeURIComponent(j.jobid)}`, class: 'job-link',
        title: j.jobid, 'aria-label': `Job ${j.jobid}` }, shortJobId(j.jobid)) },
    { key: 'projectname', clip: true, label: 'Project', fold: 1, cell: (j) => maybeHidden(j.projectname) },
    { key: 'designname', clip: true, label: 'Design', fold: 3, cell: (j) => maybeHidden(j.designname) },
    { key: 'ownername', clip: true, label: 'Owner', fold: 2, cell: (j) => j.ownername },
    { key: 'node', clip: true, label: 'Node', fold: 2, cell: (j) => maybeHidden(j.node) },
    { key: 'slurmid', label: 'Slurm ID', fold: 3, num: true, cell: (j) => (j.slurmid > 0 ? String(j.slurmid) : '—') },
    { key: 'received_timestamp', label: 'Received', fold: 3, num: true, cell: (j) => compactTime(j.received_timestamp) },
    { key: 'started_timestamp', label: 'Started', fold: 1, num: true, cell: (j) => compactTime(j.started_timestamp) },
    { key: 'runtime', label: 'Run time', fold: 2, num: true, value: (j) => runTime(j) ?? -1,
        cell: (j) => { const t = runTime(j); return t === null ? h('span', { class: 'muted' }, '—') : formatDuration(t); } },
];

// Filter state survives switching views within the page; `scope` is set at the first mount.
const saved = { text: '', state: '', sort: 'received_timestamp', descending: true, scope: null };

export function mount(container) {
    const session = api.currentSession();
    if (saved.scope === null)
        saved.scope = session.isAdmin ? 'all' : 'mine';
    let jobs = [];
    let loaded = false;
    const search = h('input', { id: 'job-search', type: 'search', placeholder: 'ID, project, design, owner, node',
        value: saved.text });
    const stateSelect = h('select', { id: 'job-state' });
    const updated = h('span', { class: 'muted live', 'aria-live': 'off' }, 'Loading…');
    const scopeButtons = ['mine', 'all'].map((scope) => h('button', { type: 'button', class: 'segment',
        id: `jobs-scope-${scope}`, 'aria-pressed': String(saved.scope === scope),
        onclick: () => {
            saved.scope = scope;
            for (const b of scopeButtons)
                b.setAttribute('aria-pressed', String(b.id === `jobs-scope-${scope}`));
            fillStateOptions();
            render();
        } }, scope === 'mine' ? 'My jobs' : 'All jobs'));
    const scopeSwitch = h('div', { class: 'segmented', role: 'group', 'aria-label': 'Whose jobs', hidden: true }, ...scopeButtons);
    const body = h('tbody');
    const headRow = h('tr');
    const empty = h('p', { class: 'empty muted', hidden: true });
    const table = h('table', { class: 'data-table jobs-table', id: 'jobs-table' },
        h('caption', { class: 'visually-hidden' }, 'Jobs on the server'), h('thead', {}, headRow), body);

    const isMine = (j) => j.ownerid === session.userId;
    // "All jobs" only where the server shows others' jobs at all.
    const othersShown = () => jobs.some((j) => !isMine(j));
    const inScope = () => (saved.scope === 'all' && othersShown() ? jobs : jobs.filter(isMine));

    function fillStateOptions() {
        const counts = {};
        const shown = inScope();
        for (const job of shown)
            counts[statusOf(job)] = (counts[statusOf(job)] || 0) + 1;
        const options = [h('option', { value: '' }, `All states (${shown.length})`),
            h('option', { value: 'active' }, 'Active (submitting, queued, running)')];
        for (const state of [...STATES.slice(0, 7), 'cancelled', ...STATES.slice(7)])
            options.push(h('option', { value: state }, `${state === 'cancelled' ? 'Cancelled' : stateLabel(state)} (${counts[state] || 0})`));
        stateSelect.replaceChildren(...options);
        stateSelect.value = saved.state;
    }

    function renderHead() {
        headRow.replaceChildren(...COLUMNS.map((column) => {
            const sorted = saved.sort === column.key;
            const button = h('button', { type: 'button', class: 'sort-button',
                onclick: () => {
                    if (saved.sort === column.key)
                        saved.descending = !saved.descending;
                    else {
                        saved.sort = column.key;
                        saved.descending = false;
                    }
                    renderHead();
                    render();
                } }, column.label, h('span', { class: 'sort-mark', 'aria-hidden': 'true' },
                sorted ? (saved.descending ? ' ▼' : ' ▲') : ''));
            return h('th', { scope: 'col', class: `${column.num ? 'num ' : ''}fold-${column.fold}`, dataset: { key: column.key },
                'aria-sort': sorted ? (saved.descending ? 'descending' : 'ascending') : 'none' }, button);
        }));
    }

    function visible() {
        const text = saved.text.trim().toLowerCase();
        const column = COLUMNS.find((c) => c.key === saved.sort) || COLUMNS[0];
        const valueOf = column.value || ((j) => j[column.key]);
        return inScope()
            .filter((j) => !saved.state
                || (saved.state === 'active' ? ['tobesubmitted', 'queued', 'running', 'tobecancelled'].includes(j.state)
                    : statusOf(j) === saved.state))
            .filter((j) => !text || [j.jobid, j.projectname, j.designname, j.runname, j.ownername, j.node, String(j.slurmid), j.reason]
                .some((v) => String(v ?? '').toLowerCase().includes(text)))
            .sort((a, b) => {
                const x = valueOf(a);
                const y = valueOf(b);
                const order = typeof x === 'number' && typeof y === 'number' ? x - y
                    : String(x ?? '').localeCompare(String(y ?? ''), undefined, { numeric: true });
                return (saved.descending ? -order : order) || a.jobid.localeCompare(b.jobid);
            });
    }

    // Rows are kept per job and only their cells replaced, so focus and scrolling survive.
    const rows = new Map();
    function render() {
        const shown = visible();
        const keep = new Set(shown.map((j) => j.jobid));
        for (const [id, row] of rows)
            if (!keep.has(id)) {
                row.remove();
                rows.delete(id);
            }
        shown.forEach((job, index) => {
            let row = rows.get(job.jobid);
            // Run time changes while the job is active: its rows are redrawn on every refresh.
            const signature = JSON.stringify(job) + (runTime(job) !== null && !job.ended_timestamp ? Date.now() : '');
            if (!row) {
                row = h('tr', { dataset: { jobid: job.jobid } });
                rows.set(job.jobid, row);
            }
            if (row.dataset.signature !== signature) {
                row.dataset.signature = signature;
                row.dataset.state = job.state;
                row.dataset.status = statusOf(job);
                row.replaceChildren(...COLUMNS.map((c) => h('td', { class: `${c.num ? 'num ' : ''}fold-${c.fold}`,
                    title: c.clip ? String(job[c.key] ?? '') : null, dataset: { key: c.key, label: c.label } }, c.cell(job))));
            }
            if (body.children[index] !== row)
                body.insertBefore(row, body.children[index] || null);
        });
        empty.hidden = shown.length > 0 || !loaded;
        empty.textContent = inScope().length === 0
            ? (saved.scope === 'mine' ? 'You have no jobs on the server. Start one with “New job”.' : 'No jobs on the server yet. Start one with “New job”.')
            : 'No job matches the filter.';
    }

    async function refresh() {
        try {
            jobs = await api.jobList();
            loaded = true;
            scopeSwitch.hidden = !othersShown();
            fillStateOptions();
            render();
            updated.textContent = `Updated ${new Date().toLocaleTimeString()}`;
            updated.classList.remove('stale');
        } catch (e) {
            updated.textContent = `Not updated: ${api.describeError(e)}`;
            updated.classList.add('stale');
            if (e.status !== 401)
                notify(api.describeError(e));
        }
    }

    search.addEventListener('input', () => {
        saved.text = search.value;
        render();
    });
    stateSelect.addEventListener('change', () => {
        saved.state = stateSelect.value;
        render();
    });

    fillStateOptions();
    renderHead();
    container.replaceChildren(
        h('div', { class: 'view-header' }, h('h1', {}, 'Jobs'), updated,
            h('a', { href: '#/submit', class: 'button primary' }, 'New job')),
        h('div', { class: 'toolbar' }, scopeSwitch,
            h('div', { class: 'field' }, h('label', { for: 'job-search' }, 'Search'), search),
            h('div', { class: 'field' }, h('label', { for: 'job-state' }, 'State'), stateSelect)),
        h('div', { class: 'card table-card' }, h('div', { class: 'table-scroll' }, table), empty));

    const poller = new Poller(refresh, REFRESH_MS).start();
    return () => poller.stop();
}
