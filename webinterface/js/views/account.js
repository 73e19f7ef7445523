// The signed-in user's own account: session details and password change.
import { currentSession, updatePassword, describeError } from '../api.js';
import { h, notify } from '../ui.js';

export function mount(container) {
    const session = currentSession();
    const oldPassword = h('input', { id: 'old-password', type: 'password', autocomplete: 'current-password', required: true });
    const newPassword = h('input', { id: 'new-password', type: 'password', autocomplete: 'new-password', required: true });
    const repeat = h('input', { id: 'repeat-password', type: 'password', autocomplete: 'new-password', required: true });
    const error = h('p', { class: 'form-error', role: 'alert' });
    const save = h('button', { type: 'submit', class: 'button primary' }, 'Change password');
    const form = h('form', { class: 'card form-grid', 'aria-labelledby': 'password-title' },
        h('h2', { id: 'password-title' }, 'Change your password'),
        h('label', { for: 'old-password' }, 'Current password'), oldPassword,
        h('label', { for: 'new-password' }, 'New password'), newPassword,
        h('label', { for: 'repeat-password' }, 'Repeat the new password'), repeat,
        error, h('div', { class: 'form-actions' }, save));
    form.addEventListener('submit', async (event) => {
        event.preventDefault();
        error.textContent = '';
        if (newPassword.value !== repeat.value) {
            error.textContent = 'The two new passwords differ.';
            repeat.focus();
            return;
        }
        save.disabled = true;
        try {
            await updatePassword(oldPassword.value, newPassword.value);
            form.reset();
            notify('Your password was changed.', 'success');
        } catch (e) {
            error.textContent = describeError(e);
        } finally {
            save.disabled = false;
        }
    });
    const expires = new Date(session.expiresAt).toLocaleTimeString();
    container.replaceChildren(
        h('div', { class: 'view-header' }, h('h1', {}, 'Account')),
        h('div', { class: 'columns' },
            h('section', { class: 'card' },
                h('h2', {}, 'Session'),
                h('dl', { class: 'facts' },
                    h('dt', {}, 'User'), h('dd', { id: 'account-user' }, session.username),
                    h('dt', {}, 'Role'), h('dd', {}, session.isAdmin ? 'Administrator' : 'User'),
                    h('dt', {}, 'Token valid until'), h('dd', {}, expires, h('span', { class: 'muted' }, ' (renewed automatically)')))),
            form));
    return () => {};
}
