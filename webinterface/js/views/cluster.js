// Cluster usage from the queue information: totals, CPUs per partition and nodes per state,
// drawn with Chart.js and refreshed live.
import * as api from '../api.js';
import { h, notify, Poller } from '../ui.js';

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

    container.replaceChildren(
        h('div', { class: 'view-header' }, h('h1', {}, 'Cluster'), updated),
        stats,
        h('div', { class: 'charts' },
            h('section', { class: 'card' }, h('h2', {}, 'Cluster CPUs'), totalChartBox),
            h('section', { class: 'card' }, h('h2', {}, 'CPUs per partition'), cpuChartBox),
            h('section', { class: 'card' }, h('h2', {}, 'Nodes per state'), stateChartBox)),
        h('section', { class: 'card' }, h('h2', {}, 'Partitions'), h('div', { class: 'table-scroll' }, table)));

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

    async function refresh() {
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
