// Cluster usage from the queue information: totals, CPUs per partition and nodes per state,
// drawn with Chart.js, every node with its state and use, and the jobs of this server that
// wait on Slurm with Slurm's reason; refreshed live.
import * as api from '../api.js';
import { h, notify, Poller, shortJobId, formatDuration } from '../ui.js';

function memoryText(node) {
    const gib = (mb) => `${(mb / 1024).toFixed(mb >= 10240 ? 0 : 1)} GiB`;
    if (!Number.isFinite(node.memory_mb) || node.memory_mb <= 0)
        return '—';
    return Number.isFinite(node.alloc_memory_mb) ? `${gib(node.alloc_memory_mb)} / ${gib(node.memory_mb)}` : gib(node.memory_mb);
}

const REFRESH_MS = 10000;
const COLORS = { allocated: '#3b6fd6', idle: '#3f9b6e', other: '#c0524a' };
const STATE_COLORS = ['#3b6fd6', '#3f9b6e', '#d39b2a', '#c0524a', '#7a5cc2', '#4aa3b5', '#8a8f98'];

export function mount(container) {
    const Chart = window.Chart;
    const updated = h('span', { class: 'muted live' }, 'Loading…');
    const stat = (id, label) => h('div', { class: 'stat card' },
        h('span', { class: 'stat-label' }, label), h('span', { class: 'stat-value', id }, '—'));
    const stats = h('div', { class: 'stats' },
        stat('stat-nodes', 'Nodes'), stat('stat-cpus', 'CPUs'), stat('stat-allocated', 'Allocated CPUs'),
        stat('stat-idle', 'Idle CPUs'), stat('stat-other', 'Unavailable CPUs'));
    const canvas = (id, label) => h('div', { class: 'chart-box' }, h('canvas', { id, role: 'img', 'aria-label': label }));
    const cpuChartBox = canvas('chart-cpus', 'CPUs per partition: allocated, idle and unavailable');
    const totalChartBox = canvas('chart-total', 'CPUs of the whole cluster');
    const stateChartBox = canvas('chart-states', 'Nodes per state');
    const body = h('tbody');
    const table = h('table', { class: 'data-table', id: 'partitions-table' },
        h('caption', { class: 'visually-hidden' }, 'Partitions'),
        h('thead', {}, h('tr', {}, ...['Partition', 'Nodes', 'CPUs', 'Allocated', 'Idle', 'Unavailable', 'Node states']
            .map((label, i) => h('th', { scope: 'col', class: i > 0 && i < 6 ? 'num' : '' }, label)))),
        body);

    const nodeBody = h('tbody');
    const nodeTable = h('table', { class: 'data-table cards-on-phone', id: 'nodes-table' },
        h('caption', { class: 'visually-hidden' }, 'Nodes'),
        h('thead', {}, h('tr', {}, ...['Node', 'State', 'CPUs used', 'Memory used', 'Partitions', 'Reason']
            .map((label, i) => h('th', { scope: 'col', class: i === 2 || i === 3 ? 'num' : '' }, label)))),
        nodeBody);
    const nodesNote = h('p', { class: 'muted', hidden: true });
    const pendingBody = h('tbody');
    const pendingTable = h('table', { class: 'data-table cards-on-phone', id: 'pending-table' },
        h('caption', { class: 'visually-hidden' }, 'Jobs waiting on Slurm'),
        h('thead', {}, h('tr', {}, ...['Job', 'Owner', 'Waiting for', 'Slurm reason']
            .map((label, i) => h('th', { scope: 'col', class: i === 2 ? 'num' : '' }, label)))),
        pendingBody);
    const pendingNote = h('p', { class: 'muted', id: 'pending-empty' }, 'No job of this server waits on Slurm.');

    container.replaceChildren(
        h('div', { class: 'view-header' }, h('h1', {}, 'Cluster'), updated),
        stats,
        h('div', { class: 'charts' },
            h('section', { class: 'card' }, h('h2', {}, 'Cluster CPUs'), totalChartBox),
            h('section', { class: 'card' }, h('h2', {}, 'CPUs per partition'), cpuChartBox),
            h('section', { class: 'card' }, h('h2', {}, 'Nodes per state'), stateChartBox)),
        h('section', { class: 'card' }, h('h2', {}, 'Partitions'), h('div', { class: 'table-scroll' }, table)),
        h('section', { class: 'card' }, h('h2', {}, 'Nodes'), nodesNote, h('div', { class: 'table-scroll' }, nodeTable)),
        h('section', { class: 'card' }, h('h2', {}, 'Waiting jobs'), pendingNote, h('div', { class: 'table-scroll' }, pendingTable)));

    if (!Chart) {
        notify('The chart library could not be loaded; the numbers are shown without charts.');
    }
    const common = { responsive: true, maintainAspectRatio: false, animation: false,
        plugins: { legend: { position: 'bottom' } } };
    const charts = Chart ? {
        total: new Chart(totalChartBox.firstChild, { type: 'doughnut',
            data: { labels: ['Allocated', 'Idle', 'Unavailable'],
                datasets: [{ data: [0, 0, 0], backgroundColor: [COLORS.allocated, COLORS.idle, COLORS.other] }] },
            options: common }),
        cpus: new Chart(cpuChartBox.firstChild, { type: 'bar',
            data: { labels: [], datasets: [
                { label: 'Allocated', data: [], backgroundColor: COLORS.allocated },
                { label: 'Idle', data: [], backgroundColor: COLORS.idle },
                { label: 'Unavailable', data: [], backgroundColor: COLORS.other }] },
            options: { ...common, indexAxis: 'y', scales: { x: { stacked: true, beginAtZero: true, ticks: { precision: 0 } },
                y: { stacked: true } } } }),
        states: new Chart(stateChartBox.firstChild, { type: 'bar',
            data: { labels: [], datasets: [{ label: 'Nodes', data: [], backgroundColor: STATE_COLORS }] },
            options: { ...common, plugins: { legend: { display: false } },
                scales: { y: { beginAtZero: true, ticks: { precision: 0 } } } } }),
    } : null;

    function statesText(states) {
        return Object.entries(states || {}).map(([name, s]) => `${name}: ${s.nodes} node${s.nodes === 1 ? '' : 's'}`).join(', ');
    }

    function render(info) {
        const c = info.cluster;
        const set = (id, value) => { document.getElementById(id).textContent = String(value); };
        set('stat-nodes', c.nodes);
        set('stat-cpus', c.cpus_total);
        set('stat-allocated', c.allocated);
        set('stat-idle', c.idle);
        set('stat-other', c.other);
        body.replaceChildren(...info.queues.map((q) => h('tr', { dataset: { partition: q.partition } },
            h('th', { scope: 'row' }, q.partition),
            ...[q.nodes, q.cpus_total, q.allocated, q.idle, q.other].map((v) => h('td', { class: 'num' }, String(v))),
            h('td', {}, statesText(q.states)))));
        if (!charts)
            return;
        charts.total.data.datasets[0].data = [c.allocated, c.idle, c.other];
        charts.cpus.data.labels = info.queues.map((q) => q.partition);
        charts.cpus.data.datasets[0].data = info.queues.map((q) => q.allocated);
        charts.cpus.data.datasets[1].data = info.queues.map((q) => q.idle);
        charts.cpus.data.datasets[2].data = info.queues.map((q) => q.other);
        const stateNames = Object.keys(c.states || {}).sort();
        charts.states.data.labels = stateNames;
        charts.states.data.datasets[0].data = stateNames.map((s) => c.states[s].nodes);
        for (const chart of Object.values(charts))
            chart.update('none');
    }

    const cell = (label, value, attrs = {}) => h('td', { ...attrs, dataset: { label } }, value);

    function renderNodes(nodes) {
        nodeBody.replaceChildren(...nodes.map((node) => h('tr', { dataset: { node: node.name } },
            h('th', { scope: 'row', dataset: { label: 'Node' } }, node.name),
            cell('State', (node.state || []).join(' + ') || '—'),
            cell('CPUs used', Number.isFinite(node.cpus) ? `${node.alloc_cpus ?? '?'} / ${node.cpus}` : '—', { class: 'num' }),
            cell('Memory used', memoryText(node), { class: 'num' }),
            cell('Partitions', (node.partitions || []).join(', ') || '—'),
            cell('Reason', node.reason || ''))));
    }

    function renderPending(jobs) {
        const now = Date.now() / 1000;
        const waiting = jobs.filter((j) => j.state === 'queued' || j.state === 'tobesubmitted');
        pendingNote.hidden = waiting.length > 0;
        pendingTable.hidden = waiting.length === 0;
        pendingBody.replaceChildren(...waiting.map((j) => h('tr', { dataset: { jobid: j.jobid } },
            h('th', { scope: 'row', dataset: { label: 'Job' } },
                h('a', { href: `#/jobs/${encodeURIComponent(j.jobid)}`, title: j.jobid, class: 'job-link' }, shortJobId(j.jobid))),
            cell('Owner', j.ownername || '—'),
            cell('Waiting for', j.started_timestamp > 0 ? formatDuration(now - j.started_timestamp) : '—', { class: 'num' }),
            cell('Slurm reason', typeof j.reason === 'string' && j.reason ? j.reason : (j.state === 'tobesubmitted' ? 'being handed to Slurm' : 'not reported')))));
    }

    async function refresh() {
        // The node list and the waiting jobs are extras: the sums above stand without them.
        api.nodeInfo().then((nodes) => {
            nodesNote.hidden = true;
            renderNodes(nodes);
        }, (e) => {
            nodesNote.hidden = false;
            nodesNote.textContent = `The node list is not available: ${api.describeError(e)}`;
        });
        api.jobList().then(renderPending, () => {});
        try {
            render(await api.queueInfo());
            updated.textContent = `Updated ${new Date().toLocaleTimeString()}`;
            updated.classList.remove('stale');
        } catch (e) {
            updated.textContent = `Not updated: ${api.describeError(e)}`;
            updated.classList.add('stale');
            if (e.status !== 401)
                notify(api.describeError(e));
        }
    }

    const poller = new Poller(refresh, REFRESH_MS).start();
    return () => {
        poller.stop();
        if (charts)
            for (const chart of Object.values(charts))
                chart.destroy();
    };
}
