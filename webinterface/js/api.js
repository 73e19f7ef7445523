// The one module that talks to the server: log-in and log-out, the session token and its
// renewal, every REST and XML-RPC request, and the translation of failures into short
// messages. Views never call fetch themselves.
import { buildCall, parseResponse, RpcFault } from './xmlrpc.js';

const STORAGE_KEY = 'hxb.session';
// Renew when this share of the token's lifetime is left, but never later than a minute before.
const RENEW_SHARE = 0.2;

export class ApiError extends Error {
    constructor(status, message) {
        super(message);
        this.name = 'ApiError';
        this.status = status;
    }
}

const MESSAGES = {
    0: 'The server cannot be reached. Check the connection and try again.',
    400: 'The server refused the request as malformed (for example a file name it does not accept).',
    401: 'Your session has ended. Please log in again.',
    403: 'You are not allowed to do this.',
    404: 'Not found: the job or file is no longer on the server.',
    405: 'The server refused this request.',
    413: 'The file is too large for the server.',
    500: 'The server failed to complete the request.',
    502: 'Slurm does not answer: the cluster state is not available right now.',
};

/** A short message for an HTTP status (0: no answer at all). */
export function describeStatus(status) {
    if (MESSAGES[status])
        return MESSAGES[status];
    if (status >= 500)
        return `The server failed to complete the request (${status}).`;
    return `The server answered with status ${status}.`;
}

/**
 * The message for a refused request: the server's own short text where it gives the reason
 * (a broken account rule, a conflict with the job's state, a change it could not save), the
 * wait after too many failed log-ins, else the message for the status.
 */
async function describeResponse(response) {
    if (response.status === 429) {
        const wait = parseInt(response.headers.get('Retry-After') || '', 10);
        return 'Too many failed log-ins. ' + (wait > 0 ? `Try again in ${wait} s.` : 'Try again later.');
    }
    if ([400, 409, 503].includes(response.status)) {
        const text = (await response.text().catch(() => '')).trim();
        if (text && text.length <= 300 && !text.startsWith('{') && !text.startsWith('<'))
            return text.charAt(0).toUpperCase() + text.slice(1) + (/[.!?]$/.test(text) ? '' : '.');
    }
    return describeStatus(response.status);
}

/** A short message for anything a request may throw. */
export function describeError(error) {
    if (error instanceof ApiError || error instanceof RpcFault)
        return error.message;
    return error && error.message ? error.message : String(error);
}

let session = loadSession();
let renewTimer = null;
const endListeners = new Set();

function loadSession() {
    try {
        const saved = JSON.parse(sessionStorage.getItem(STORAGE_KEY) || 'null');
        return saved && saved.token ? saved : null;
    } catch {
        return null;
    }
}

function saveSession() {
    if (session)
        sessionStorage.setItem(STORAGE_KEY, JSON.stringify(session));
    else
        sessionStorage.removeItem(STORAGE_KEY);
}

function tokenClaims(token) {
    try {
        const part = token.split('.')[1].replace(/-/g, '+').replace(/_/g, '/');
        const bytes = Uint8Array.from(atob(part + '='.repeat((4 - part.length % 4) % 4)), (c) => c.charCodeAt(0));
        return JSON.parse(new TextDecoder().decode(bytes));
    } catch {
        return {};
    }
}

function utf8Binary(text) {
    // Header values travel as bytes; send the UTF-8 bytes of the text one per character.
    return Array.from(new TextEncoder().encode(text), (b) => String.fromCharCode(b)).join('');
}

function setToken(token, extra = {}) {
    const claims = tokenClaims(token);
    const now = Date.now();
    session = {
        ...(session || {}),
        ...extra,
        token,
        username: claims.sub || extra.username || (session && session.username) || '',
        userId: Number(claims.userid ?? (session && session.userId) ?? -1),
        expiresAt: claims.exp ? claims.exp * 1000 : now + 3600 * 1000,
        issuedAt: now,
    };
    saveSession();
    scheduleRenewal();
}

function scheduleRenewal() {
    clearTimeout(renewTimer);
    if (!session)
        return;
    const lifetime = Math.max(0, session.expiresAt - session.issuedAt);
    const lead = Math.max(60 * 1000, lifetime * RENEW_SHARE);
    const delay = Math.max(1000, session.expiresAt - lead - Date.now());
    renewTimer = setTimeout(() => { renewToken().catch(() => {}); }, delay);
}

/** Ends the local session and tells the views why (reason is null after a log-out). */
function endSession(reason) {
    clearTimeout(renewTimer);
    renewTimer = null;
    const had = session !== null;
    session = null;
    saveSession();
    if (had)
        for (const listener of endListeners)
            listener(reason);
}

export function onSessionEnd(listener) {
    endListeners.add(listener);
}

export function currentSession() {
    return session;
}

export function isLoggedIn() {
    return session !== null && session.expiresAt > Date.now();
}

async function send(path, { method = 'POST', body, headers = {}, auth = 'bearer', basic } = {}) {
    const sent = { ...headers };
    if (auth === 'basic')
        sent.Authorization = 'Basic ' + btoa(utf8Binary(`${basic.username}:${basic.password}`));
    else if (auth === 'bearer' && session)
        sent.Authorization = 'Bearer ' + session.token;
    let response;
    try {
        response = await fetch(path, { method, body, headers: sent, cache: 'no-store' });
    } catch {
        throw new ApiError(0, describeStatus(0));
    }
    return response;
}

// The user endpoint answers every refusal with 405. Ask it whether the session is still
// valid, so an ended session is reported as such and not as a refused request.
async function sessionStillValid() {
    if (!session)
        return false;
    if (session.expiresAt <= Date.now())
        return false;
    try {
        const response = await send('/user/extendToken');
        if (!response.ok)
            return false;
        const fresh = await response.text();
        const old = session.token;
        setToken(fresh);
        send('/user/logout', { auth: 'none', headers: { Authorization: 'Bearer ' + old } }).catch(() => {});
        return true;
    } catch {
        return true; // unreachable: do not end the session over a network failure
    }
}

async function userRequest(command, body, refusal) {
    const response = await send('/user/' + command, {
        body: body === undefined ? undefined : JSON.stringify(body),
        headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
    });
    if (response.ok)
        return response.text();
    if (response.status === 405) {
        if (!(await sessionStillValid())) {
            endSession('expired');
            throw new ApiError(401, describeStatus(401));
        }
        throw new ApiError(405, refusal || describeStatus(405));
    }
    throw new ApiError(response.status, await describeResponse(response));
}

async function bridgeRequest(path, options = {}) {
    const response = await send(path, options);
    if (response.status === 401) {
        endSession('expired');
        throw new ApiError(401, describeStatus(401));
    }
    if (!response.ok)
        throw new ApiError(response.status, await describeResponse(response));
    return response;
}

// ---- Session -------------------------------------------------------------------------

/** Logs in with user name and password; afterwards every request carries the token. */
export async function login(username, password) {
    const response = await send('/user/login', { method: 'GET', auth: 'basic', basic: { username, password } });
    if (response.status === 405 || response.status === 401)
        throw new ApiError(response.status, 'Wrong user name or password.');
    if (!response.ok)
        throw new ApiError(response.status, await describeResponse(response));
    const token = (await response.text()).trim();
    setToken(token, { username });
    // Only administrators may list the users: that is how the page learns the account's role.
    const probe = await send('/user/list');
    session.isAdmin = probe.ok;
    saveSession();
    return session;
}

/** Ends the session on the server and in the page. */
export async function logout() {
    if (session) {
        try {
            await send('/user/logout');
        } catch {
            // The token expires on its own; the page forgets it either way.
        }
    }
    endSession(null);
}

/** Replaces the token by a fresh one and revokes the old one. */
export async function renewToken() {
    if (!session)
        return;
    const old = session.token;
    let response;
    try {
        response = await send('/user/extendToken');
    } catch {
        // Network down: try again shortly, the token may still be valid.
        clearTimeout(renewTimer);
        renewTimer = setTimeout(() => { renewToken().catch(() => {}); }, 15000);
        return;
    }
    if (!response.ok) {
        endSession('expired');
        return;
    }
    setToken((await response.text()).trim());
    send('/user/logout', { auth: 'none', headers: { Authorization: 'Bearer ' + old } }).catch(() => {});
}

/** Called when the tab becomes visible again: a token that ran out meanwhile ends the session. */
export function checkSession() {
    if (!session)
        return;
    if (session.expiresAt <= Date.now())
        endSession('expired');
    else
        scheduleRenewal();
}

if (session)
    checkSession();

// ---- Users ---------------------------------------------------------------------------

export async function listUsers() {
    return JSON.parse(await userRequest('list', undefined, 'Only administrators may list users.')).users;
}

export async function createUser(username, password, type) {
    return JSON.parse(await userRequest('create', { username, password, type },
        `The user "${username}" could not be created (the name may be taken).`));
}

export async function deleteUser(userId) {
    return JSON.parse(await userRequest('delete', { userId },
        'The user could not be deleted (you cannot delete yourself or the last administrator).'));
}

export async function setUserType(userId, type) {
    return JSON.parse(await userRequest('setType', { userId, type },
        'The type could not be changed (not your own, and not the last administrator).'));
}

export async function resetPassword(userId, password) {
    return JSON.parse(await userRequest('resetPassword', { userId, password },
        'The password could not be reset.'));
}

export async function updatePassword(oldPassword, newPassword) {
    await userRequest('updatePassword', { oldPassword, newPassword },
        'The password was not changed: the current password is wrong.');
}

// ---- Jobs and cluster ----------------------------------------------------------------

function jobPath(command, jobId) {
    return `/batchbay/${command}/${encodeURIComponent(jobId)}`;
}

export async function jobList() {
    const response = await bridgeRequest('/batchbay/jobinfo', { method: 'GET' });
    return (await response.json()).jobs || [];
}

export async function queueInfo() {
    const response = await bridgeRequest('/batchbay/queueinfo', { method: 'GET' });
    let data;
    try {
        data = await response.json();
    } catch {
        throw new ApiError(500, 'The cluster state could not be read from Slurm.');
    }
    if (!data || !data.cluster)
        throw new ApiError(500, data && data.error ? `Slurm: ${data.error}` : 'The cluster state could not be read from Slurm.');
    return data;
}

export async function finishedUploading(jobId) {
    await bridgeRequest(jobPath('finishedUploading', jobId));
}

export async function cancelJob(jobId) {
    await bridgeRequest(jobPath('cancel', jobId));
}

export async function finalizeJob(jobId) {
    await bridgeRequest(jobPath('finalize', jobId));
}

export async function outputFileList(jobId) {
    const response = await bridgeRequest(jobPath('outputFileList', jobId));
    return ((await response.json()).files || []).slice().sort();
}

/**
 * The output files with their sizes: [{ name, size }], sorted by name. A server without the
 * sizes route gives the names alone (size null).
 */
export async function outputFiles(jobId) {
    try {
        const response = await bridgeRequest(jobPath('outputFileSizes', jobId));
        return ((await response.json()).files || []).slice().sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
    } catch (e) {
        if (e.status !== 404)
            throw e;
    }
    return (await outputFileList(jobId)).map((name) => ({ name, size: null }));
}

// A download the browser saves to disk itself. A navigation carries no Authorization header,
// so a single-use ticket that lives a minute is asked for with the session token first and
// travels in the URL instead; the token never does.
async function startDownload(jobId, name) {
    const headers = name === undefined ? {} : { filename: utf8Binary(name) };
    const response = await bridgeRequest(jobPath('downloadTicket', jobId), { headers });
    const { url } = await response.json();
    const link = document.createElement('a');
    link.href = url;
    link.download = '';
    link.hidden = true;
    document.body.append(link);
    link.click();
    link.remove();
}

/** Saves one output file through the browser's own download. */
export function downloadOutputFile(jobId, name) {
    return startDownload(jobId, name);
}

/** Saves all output files as one ZIP archive the server streams. */
export function downloadAllOutputs(jobId) {
    return startDownload(jobId, undefined);
}

/** What the job was started with: application, arguments, options, output patterns. */
export async function jobDescription(jobId) {
    const response = await bridgeRequest(jobPath('jobDescription', jobId), { method: 'GET' });
    return response.json();
}

/** The cluster's nodes: name, states, CPUs, memory, partitions. */
export async function nodeInfo() {
    const response = await bridgeRequest('/batchbay/nodeinfo', { method: 'GET' });
    return (await response.json()).nodes || [];
}

/**
 * Uploads one file as `name` (a path below the job directory). onProgress(sentBytes, totalBytes)
 * follows the transfer. Resolves when the server has the file; rejects with an ApiError.
 */
export function uploadFile(jobId, file, name, onProgress) {
    return new Promise((resolve, reject) => {
        const path = jobPath('uploadFile', jobId);
        const xhr = new XMLHttpRequest();
        xhr.open('POST', path);
        if (session)
            xhr.setRequestHeader('Authorization', 'Bearer ' + session.token);
        xhr.setRequestHeader('filename', utf8Binary(name));
        xhr.setRequestHeader('Content-Type', 'application/octet-stream');
        xhr.upload.onprogress = (event) => onProgress && onProgress(event.loaded, event.total || file.size);
        xhr.onload = () => {
            if (xhr.status === 401)
                endSession('expired');
            if (xhr.status >= 200 && xhr.status < 300) {
                onProgress && onProgress(file.size, file.size);
                resolve();
            } else {
                reject(new ApiError(xhr.status, describeStatus(xhr.status)));
            }
        };
        xhr.onerror = () => reject(new ApiError(file.size > 800 * 1024 * 1024 ? 413 : 0,
            file.size > 800 * 1024 * 1024 ? describeStatus(413) : describeStatus(0)));
        xhr.send(file);
    });
}

// ---- XML-RPC -------------------------------------------------------------------------

export async function rpc(method, ...params) {
    const response = await bridgeRequest('/RPC2', { body: buildCall(method, params), headers: { 'Content-Type': 'text/xml' } });
    return parseResponse(await response.text());
}

export async function activeApplications() {
    const answer = await rpc('sshResourceManager.getActiveApplications', 1);
    return answer.Apps || [];
}

/** Creates a job in state "waiting for input"; returns its ID. */
export async function startJob(description) {
    const answer = await rpc('sshResourceManager.startJobv2', description);
    if (!answer || !answer.jobId)
        throw new ApiError(500, 'The server did not accept the job.');
    return answer.jobId;
}

export async function jobOutput(jobId) {
    return rpc('sshResourceManager.getJobOutput', jobId);
}
