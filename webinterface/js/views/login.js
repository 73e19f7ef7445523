// Log-in form. Reached whenever there is no valid session.
import { login, describeError } from '../api.js';
import { h } from '../ui.js';

export function mount(container, { reason, onLoggedIn }) {
    const error = h('p', { class: 'form-error', role: 'alert', id: 'login-error' });
    if (reason === 'expired')
        error.textContent = 'Your session has expired. Please log in again.';
    const username = h('input', { id: 'login-username', name: 'username', autocomplete: 'username', required: true,
        autofocus: true });
    const password = h('input', { id: 'login-password', name: 'password', type: 'password',
        autocomplete: 'current-password', required: true });
    const submit = h('button', { type: 'submit', class: 'button primary wide' }, 'Log in');
    const form = h('form', { class: 'login-form', 'aria-describedby': 'login-error' },
        h('h1', {}, 'Log in'),
        h('p', { class: 'muted' }, 'Job server for the Slurm cluster'),
        h('label', { for: 'login-username' }, 'User name'), username,
        h('label', { for: 'login-password' }, 'Password'), password,
        error, submit);
    form.addEventListener('submit', async (event) => {
        event.preventDefault();
        submit.disabled = true;
        submit.textContent = 'Logging in…';
        error.textContent = '';
        try {
            await login(username.value, password.value);
            onLoggedIn();
        } catch (e) {
            error.textContent = describeError(e);
            password.select();
            submit.disabled = false;
            submit.textContent = 'Log in';
        }
    });
    container.replaceChildren(h('section', { class: 'login-page' }, form));
    username.focus();
    return () => {};
}
