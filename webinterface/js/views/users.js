// User administration (administrators only): list, create, delete, change type, reset password.
import * as api from '../api.js';
import { h, notify, confirmDialog, promptDialog } from '../ui.js';

const TYPE_NAMES = { 0: 'User', 1: 'Administrator' };

export function mount(container) {
    const session = api.currentSession();
    if (!session.isAdmin) {
        container.replaceChildren(h('div', { class: 'view-header' }, h('h1', {}, 'Users')),
            h('p', { class: 'card empty', role: 'alert' }, 'This view is for administrators.'));
        return () => {};
    }
    const body = h('tbody');
    const table = h('table', { class: 'data-table', id: 'users-table' },
        h('caption', { class: 'visually-hidden' }, 'User accounts'),
        h('thead', {}, h('tr', {},
            h('th', { scope: 'col', class: 'num' }, 'ID'), h('th', { scope: 'col' }, 'User name'),
            h('th', { scope: 'col' }, 'Type'), h('th', { scope: 'col', class: 'actions' }, 'Actions'))),
        body);

    async function run(action, success) {
        try {
            await action();
            if (success)
                notify(success, 'success');
        } catch (e) {
            notify(api.describeError(e));
        }
        await load();
    }

    function row(user) {
        const self = user.id === session.userId;
        const type = Number(user.type);
        const other = type === 1 ? 0 : 1;
        return h('tr', { dataset: { username: user.username } },
            h('td', { class: 'num', dataset: { label: 'ID' } }, String(user.id)),
            h('td', { dataset: { label: 'User name' } }, user.username, self ? h('span', { class: 'muted' }, ' (you)') : null),
            h('td', { dataset: { label: 'Type' } }, h('span', { class: type === 1 ? 'badge role-admin' : 'badge role-user' }, TYPE_NAMES[type] || type)),
            h('td', { class: 'actions', dataset: { label: 'Actions' } },
                h('button', { type: 'button', class: 'button small', disabled: self,
                    onclick: async () => {
                        if (await confirmDialog('Change type', `Make ${user.username} ${other === 1 ? 'an administrator' : 'a normal user'}?`,
                            'Change type', false))
                            await run(() => api.setUserType(user.id, other), `${user.username} is now ${TYPE_NAMES[other].toLowerCase()}.`);
                    } }, other === 1 ? 'Make administrator' : 'Make user'),
                h('button', { type: 'button', class: 'button small',
                    onclick: async () => {
                        const password = await promptDialog(`Reset the password of ${user.username}`, 'New password', 'password', 'Reset password');
                        if (password)
                            await run(() => api.resetPassword(user.id, password),
                                `The password of ${user.username} was reset; their sessions have ended.`);
                    } }, 'Reset password'),
                h('button', { type: 'button', class: 'button small danger', disabled: self,
                    onclick: async () => {
                        if (await confirmDialog('Delete user', `Delete the account ${user.username}? Their sessions end at once.`, 'Delete'))
                            await run(() => api.deleteUser(user.id), `${user.username} was deleted.`);
                    } }, 'Delete')));
    }

    async function load() {
        try {
            const users = await api.listUsers();
            body.replaceChildren(...users.map(row));
        } catch (e) {
            notify(api.describeError(e));
        }
    }

    const name = h('input', { id: 'new-username', autocomplete: 'off', required: true });
    const password = h('input', { id: 'new-user-password', type: 'password', autocomplete: 'new-password', required: true });
    const type = h('select', { id: 'new-user-type' },
        h('option', { value: '0' }, 'User'), h('option', { value: '1' }, 'Administrator'));
    const create = h('button', { type: 'submit', class: 'button primary' }, 'Create user');
    const form = h('form', { class: 'card form-grid', 'aria-labelledby': 'create-title' },
        h('h2', { id: 'create-title' }, 'New user'),
        h('label', { for: 'new-username' }, 'User name'), name,
        h('label', { for: 'new-user-password' }, 'Password'), password,
        h('label', { for: 'new-user-type' }, 'Type'), type,
        h('div', { class: 'form-actions' }, create));
    form.addEventListener('submit', async (event) => {
        event.preventDefault();
        create.disabled = true;
        const username = name.value.trim();
        await run(async () => {
            await api.createUser(username, password.value, Number(type.value));
            form.reset();
        }, `${username} was created.`);
        create.disabled = false;
    });

    container.replaceChildren(
        h('div', { class: 'view-header' }, h('h1', {}, 'Users')),
        h('div', { class: 'columns wide-left' },
            h('section', { class: 'card' }, h('div', { class: 'table-scroll' }, table)),
            form));
    load();
    return () => {};
}
