// New job: choose an application and its Slurm options, add input files, submit.
// The job is created over XML-RPC, then its inputs are uploaded and the upload is closed.
// Given an earlier job (`from`), the form starts filled in with what that job was started
// with; its input files are not copied and are added again.
import * as api from '../api.js';
import { h, notify } from '../ui.js';
import { createUploader } from '../uploader.js';

function randomHex(bytes) {
    return Array.from(crypto.getRandomValues(new Uint8Array(bytes)), (b) => b.toString(16).padStart(2, '0')).join('');
}

function newJobId() {
    const now = new Date();
    const stamp = now.toISOString().replace(/[-:]/g, '').replace('T', '-').slice(0, 15);
    return `web-${stamp}-${randomHex(4)}`;
}

function optionalInt(input) {
    const text = input.value.trim();
    return text === '' ? null : parseInt(text, 10);
}

export function mount(container, { from = null } = {}) {
    const field = (id, label, control, hint) => h('div', { class: 'field' },
        h('label', { for: id }, label), control, hint ? h('small', { class: 'muted', id: `${id}-hint` }, hint) : null);

    const app = h('select', { id: 'submit-app', required: true }, h('option', { value: '' }, 'Loading applications…'));
    const project = h('input', { id: 'submit-project', required: true, autocomplete: 'off' });
    const design = h('input', { id: 'submit-design', required: true, autocomplete: 'off' });
    const run = h('input', { id: 'submit-run', autocomplete: 'off' });
    const tasks = h('input', { id: 'submit-tasks', type: 'number', min: 1, value: 1, required: true });
    const nodes = h('input', { id: 'submit-nodes', type: 'number', min: 1, placeholder: 'Slurm decides' });
    const cpus = h('input', { id: 'submit-cpus', type: 'number', min: 1, placeholder: 'Slurm decides' });
    const partition = h('select', { id: 'submit-partition' }, h('option', { value: '' }, 'Default partition'));
    const priority = h('input', { id: 'submit-priority', type: 'number', placeholder: 'Slurm decides' });
    const args = h('input', { id: 'submit-args', autocomplete: 'off', placeholder: 'for example -x 5' });
    const outputs = h('textarea', { id: 'submit-outputs', rows: 2 }, '*');
    const removeFiles = h('input', { type: 'checkbox', id: 'submit-remove', checked: true });
    const uploader = createUploader({ label: 'Input files' });
    const progress = h('p', { class: 'muted', role: 'status', id: 'submit-progress' });
    const submit = h('button', { type: 'submit', class: 'button primary' }, 'Submit job');

    const form = h('form', { class: 'submit-form', id: 'submit-form' },
        h('div', { class: 'columns' },
            h('section', { class: 'card form-grid' },
                h('h2', {}, 'Application'),
                field('submit-app', 'Application', app),
                field('submit-project', 'Project', project),
                field('submit-design', 'Design', design),
                field('submit-run', 'Run name (optional)', run),
                field('submit-args', 'Arguments', args, 'Passed to the application as JOB_ARGS.'),
                field('submit-outputs', 'Output files', outputs, 'Patterns below the job directory, one per line.'),
                h('label', { class: 'check' }, removeFiles, ' Remove the job\'s files when it is finalised')),
            h('section', { class: 'card form-grid' },
                h('h2', {}, 'Resources'),
                h('div', { class: 'two' }, field('submit-tasks', 'Tasks', tasks), field('submit-nodes', 'Nodes', nodes)),
                h('div', { class: 'two' }, field('submit-cpus', 'CPUs per task', cpus), field('submit-priority', 'Priority', priority)),
                field('submit-partition', 'Partition', partition))),
        h('section', { class: 'card' }, uploader.element),
        h('div', { class: 'form-actions' }, progress, submit));

    async function loadChoices() {
        try {
            const apps = await api.activeApplications();
            app.replaceChildren(h('option', { value: '' }, apps.length ? 'Choose an application' : 'No applications on the server'),
                ...apps.map((a) => h('option', { value: String(a.appId), title: a.description }, a.appName)));
        } catch (e) {
            app.replaceChildren(h('option', { value: '' }, 'Applications not available'));
            notify(api.describeError(e));
        }
        try {
            const info = await api.queueInfo();
            partition.append(...info.queues.map((q) => h('option', { value: q.partition }, q.partition)));
        } catch {
            // Without the queue information the default partition is still a valid choice.
        }
        if (from)
            await fillFrom(from);
    }

    // The desktop client's maximum run time, carried along unchanged from an earlier job.
    let maxRunTime = 0;

    async function fillFrom(jobId) {
        let earlier;
        try {
            earlier = await api.jobDescription(jobId);
        } catch (e) {
            notify(`The earlier job ${jobId} could not be read: ${api.describeError(e)}`);
            return;
        }
        const task = (earlier.tasks || [])[0] || {};
        const setNumber = (input, value) => { input.value = value > 0 ? String(value) : ''; };
        app.value = String(task.applicationId ?? '');
        if (app.value === '')
            notify(`The application of job ${jobId} is no longer on the server: choose one.`);
        project.value = earlier.projectName || '';
        design.value = earlier.designName || '';
        run.value = earlier.runName || '';
        args.value = (task.args || []).join(' ');
        outputs.value = (earlier.outputFiles || []).join('\n') || '*';
        removeFiles.checked = Boolean(earlier.removeFiles);
        maxRunTime = Number.isInteger(earlier.maxRunTime) ? earlier.maxRunTime : 0;
        setNumber(tasks, task.numberOfTasks);
        if (!tasks.value)
            tasks.value = '1';
        setNumber(nodes, task.numberOfNodes);
        setNumber(cpus, task.numberOfCPUsPerTask);
        priority.value = task.priority === null || task.priority === undefined ? '' : String(task.priority);
        if (task.partitionName && ![...partition.options].some((o) => o.value === task.partitionName))
            partition.append(h('option', { value: task.partitionName }, task.partitionName));
        partition.value = task.partitionName || '';
        progress.textContent = `Filled in from job ${jobId}. Add its input files again if it needs them.`;
    }

    form.addEventListener('submit', async (event) => {
        event.preventDefault();
        const jobId = newJobId();
        const patterns = outputs.value.split('\n').map((p) => p.trim()).filter(Boolean);
        const userArgs = args.value.trim() ? args.value.trim().split(/\s+/) : [];
        const task = { type: 'processTask', applicationId: parseInt(app.value, 10),
            numberOfTasks: optionalInt(tasks) ?? 1, argsCount: userArgs.length };
        userArgs.forEach((arg, i) => { task[`arg${i}`] = arg; });
        for (const [key, input] of [['numberOfNodes', nodes], ['numberOfCPUsPerTask', cpus], ['priority', priority]]) {
            const value = optionalInt(input);
            if (value !== null)
                task[key] = value;
        }
        if (partition.value)
            task.partitionName = partition.value;
        const description = { taskId: jobId, projectName: project.value.trim(), designName: design.value.trim(),
            maxRunTime, removeFiles: removeFiles.checked ? 1 : 0, size: 1, task0: task,
            outputFileCount: patterns.length };
        patterns.forEach((p, i) => { description[`outputFile${i}`] = p; });
        if (run.value.trim())
            description.derun = { uuid: randomHex(16), name: run.value.trim() };

        submit.disabled = true;
        let created = false;
        try {
            progress.textContent = 'Creating the job…';
            await api.startJob(description);
            created = true;
            if (uploader.count > 0) {
                progress.textContent = 'Uploading input files…';
                await uploader.uploadAll(jobId);
            }
            progress.textContent = 'Submitting…';
            await api.finishedUploading(jobId);
            notify(`Job ${jobId} was submitted.`, 'success');
            location.hash = `#/jobs/${encodeURIComponent(jobId)}`;
        } catch (e) {
            progress.textContent = '';
            notify(created
                ? `Job ${jobId} was created but not submitted: ${api.describeError(e)} Open it from the job list to retry.`
                : `The job was not created: ${api.describeError(e)}`);
        } finally {
            submit.disabled = false;
        }
    });

    container.replaceChildren(
        h('nav', { class: 'breadcrumb', 'aria-label': 'Breadcrumb' }, h('a', { href: '#/jobs' }, 'Jobs'), ' / ',
            ...(from ? [h('a', { href: `#/jobs/${encodeURIComponent(from)}` }, from), ' / Submit again'] : ['New job'])),
        h('div', { class: 'view-header' }, h('h1', {}, from ? 'Submit again' : 'New job')),
        form);
    loadChoices();
    return () => {};
}
