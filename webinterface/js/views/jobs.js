// Live job table: refreshes itself while the tab is visible; sort, filter by state and text.
import * as api from '../api.js';
import { h, notify, stateBadge, stateLabel, formatTime, maybeHidden, Poller, STATES } from '../ui.js';

const REFRESH_MS = 4000;

const COLUMNS = [
    { key: 'state', label: 'State', value: (j) => STATES.indexOf(j.state), cell: (j) => stateBadge(j.state) },
    { key: 'jobid', label: 'Job', cell: (j) => h('a', { href: `#/jobs/${encodeURIComponent(j.jobid)}`, class: 'job-link' }, j.jobid) },
    { key: 'projectname', label: 'Project', cell: (j) => maybeHidden(j.projectname) },
    { key: 'designname', label: 'Design', cell: (j) => maybeHidden(j.designname) },
    { key: 'ownername', label: 'Owner', cell: (j) => j.ownername },
    { key: 'node', label: 'Node', cell: (j) => maybeHidden(j.node) },
    { key: 'slurmid', label: 'Slurm ID', num: true, cell: (j) => (j.slurmid > 0 ? String(j.slurmid) : '—') },
    { key: 'received_timestamp', label: 'Received', num: true, cell: (j) => formatTime(j.received_timestamp) },
    { key: 'started_timestamp', label: 'Started', num: true, cell: (j) => formatTime(j.started_timestamp) },
];

// Filter state survives switching views within the page.
const saved = { text: '', state: '', sort: 'received_timestamp', descending: true };

export function mount(container) {
    let jobs = [];
    let loaded = false;
    const search = h('input', { id: 'job-search', type: 'search', placeholder: 'ID, project, design, owner, node',
        value: saved.text });
    const stateSelect = h('select', { id: 'job-state' });
    const updated = h('span', { class: 'muted live', 'aria-live': 'off' }, 'Loading…');
    const body = h('tbody');
    const headRow = h('tr');
    const empty = h('p', { class: 'empty muted', hidden: true });
    const table = h('table', { class: 'data-table jobs-table', id: 'jobs-table' },
        h('caption', { class: 'visually-hidden' }, 'Jobs on the server'), h('thead', {}, headRow), body);

    function fillStateOptions() {
        const counts = {};
        for (const job of jobs)
            counts[job.state] = (counts[job.state] || 0) + 1;
        const options = [h('option', { value: '' }, `All states (${jobs.length})`),
            h('option', { value: 'active' }, 'Active (submitting, queued, running)')];
        for (const state of STATES)
            options.push(h('option', { value: state }, `${stateLabel(state)} (${counts[state] || 0})`));
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
            return h('th', { scope: 'col', class: column.num ? 'num' : '', dataset: { key: column.key },
                'aria-sort': sorted ? (saved.descending ? 'descending' : 'ascending') : 'none' }, button);
        }));
    }

    function visible() {
        const text = saved.text.trim().toLowerCase();
        const column = COLUMNS.find((c) => c.key === saved.sort) || COLUMNS[0];
        const valueOf = column.value || ((j) => j[column.key]);
        return jobs
            .filter((j) => !saved.state
                || (saved.state === 'active' ? ['tobesubmitted', 'queued', 'running', 'tobecancelled'].includes(j.state)
                    : j.state === saved.state))
            .filter((j) => !text || [j.jobid, j.projectname, j.designname, j.runname, j.ownername, j.node, String(j.slurmid)]
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
            const signature = JSON.stringify(job);
            if (!row) {
                row = h('tr', { dataset: { jobid: job.jobid } });
                rows.set(job.jobid, row);
            }
            if (row.dataset.signature !== signature) {
                row.dataset.signature = signature;
                row.dataset.state = job.state;
                row.replaceChildren(...COLUMNS.map((c) => h('td', { class: c.num ? 'num' : '', dataset: { key: c.key } }, c.cell(job))));
            }
            if (body.children[index] !== row)
                body.insertBefore(row, body.children[index] || null);
        });
        empty.hidden = shown.length > 0 || !loaded;
        empty.textContent = jobs.length === 0 ? 'No jobs on the server yet. Start one with “New job”.'
            : 'No job matches the filter.';
    }

    async function refresh() {
        try {
            jobs = await api.jobList();
            loaded = true;
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
        h('div', { class: 'toolbar' },
            h('div', { class: 'field' }, h('label', { for: 'job-search' }, 'Search'), search),
            h('div', { class: 'field' }, h('label', { for: 'job-state' }, 'State'), stateSelect)),
        h('div', { class: 'card table-card' }, h('div', { class: 'table-scroll' }, table), empty));

    const poller = new Poller(refresh, REFRESH_MS).start();
    return () => poller.stop();
}
