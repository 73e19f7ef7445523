// The page shell: navigation, routing between views (#/jobs, #/jobs/<id>, #/submit,
// #/submit/<id> (a new job like that one),
// #/cluster, #/users, #/account) and the reaction to a session that ends.
import * as api from './api.js';
import { h, notify } from './ui.js';
import * as loginView from './views/login.js';
import * as jobsView from './views/jobs.js';
import * as jobView from './views/job.js';
import * as submitView from './views/submit.js';
import * as clusterView from './views/cluster.js';
import * as usersView from './views/users.js';
import * as accountView from './views/account.js';

const NAV = [
    { route: 'jobs', label: 'Jobs' },
    { route: 'submit', label: 'New job' },
    { route: 'cluster', label: 'Cluster' },
    { route: 'users', label: 'Users', admin: true },
    { route: 'account', label: 'Account' },
];

const view = document.getElementById('view');
const topbar = document.getElementById('topbar');
const nav = document.getElementById('nav');
const userName = document.getElementById('user-name');
let unmount = () => {};
let endReason = null;

function parseRoute() {
    const parts = location.hash.replace(/^#\/?/, '').split('/');
    return { name: parts[0] || 'jobs', arg: parts.length > 1 ? decodeURIComponent(parts.slice(1).join('/')) : null };
}

function renderShell() {
    const session = api.currentSession();
    topbar.hidden = !session;
    if (!session)
        return;
    userName.textContent = session.username + (session.isAdmin ? ' · administrator' : '');
    const current = parseRoute().name;
    nav.replaceChildren(...NAV.filter((item) => !item.admin || session.isAdmin).map((item) =>
        h('a', { href: `#/${item.route}`, class: 'nav-link', 'aria-current': item.route === current ? 'page' : false },
            item.label)));
}

function show() {
    unmount();
    unmount = () => {};
    view.replaceChildren();
    if (!api.isLoggedIn()) {
        renderShell();
        document.title = 'Log in · hxbserver';
        unmount = loginView.mount(view, { reason: endReason, onLoggedIn: () => {
            endReason = null;
            notify('');
            show();
        } });
        return;
    }
    renderShell();
    const { name, arg } = parseRoute();
    const views = {
        jobs: () => (arg ? jobView.mount(view, { jobId: arg }) : jobsView.mount(view)),
        submit: () => submitView.mount(view, { from: arg }),
        cluster: () => clusterView.mount(view),
        users: () => usersView.mount(view),
        account: () => accountView.mount(view),
    };
    const mountView = views[name];
    if (!mountView) {
        view.append(h('div', { class: 'card empty' }, h('h1', {}, 'Page not found'),
            h('p', {}, h('a', { href: '#/jobs' }, 'Go to the job list'))));
        return;
    }
    const titles = { jobs: arg ? `Job ${arg}` : 'Jobs', submit: arg ? 'Submit again' : 'New job', cluster: 'Cluster', users: 'Users', account: 'Account' };
    document.title = `${titles[name]} · hxbserver`;
    try {
        unmount = mountView() || (() => {});
    } catch (e) {
        view.append(h('div', { class: 'card empty', role: 'alert' }, `This view could not be shown: ${api.describeError(e)}`));
    }
    view.focus({ preventScroll: true });
}

api.onSessionEnd((reason) => {
    endReason = reason;
    notify('');
    show();
});

document.getElementById('logout').addEventListener('click', async () => {
    await api.logout();
});

window.addEventListener('hashchange', show);
document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible')
        api.checkSession();
});
window.addEventListener('unhandledrejection', (event) => {
    notify(api.describeError(event.reason));
});

document.body.dataset.ready = '1';
show();
