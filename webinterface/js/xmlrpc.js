// XML-RPC codec: builds <methodCall> documents and reads <methodResponse> documents.
// Pure functions without network access; api.js sends what this module builds.

export class RpcFault extends Error {
    constructor(code, message) {
        super(message || `XML-RPC fault ${code}`);
        this.name = 'RpcFault';
        this.code = code;
    }
}

const INT_MIN = -2147483648;
const INT_MAX = 2147483647;

function escapeText(text) {
    return String(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

function encodeValue(value) {
    if (value === null || value === undefined)
        return '<value><nil/></value>';
    if (typeof value === 'boolean')
        return `<value><boolean>${value ? 1 : 0}</boolean></value>`;
    if (typeof value === 'number') {
        if (Number.isInteger(value) && value >= INT_MIN && value <= INT_MAX)
            return `<value><int>${value}</int></value>`;
        return `<value><double>${value}</double></value>`;
    }
    if (value instanceof Date)
        return `<value><dateTime.iso8601>${value.toISOString().replace(/\.\d{3}Z$/, 'Z')}</dateTime.iso8601></value>`;
    if (Array.isArray(value))
        return `<value><array><data>${value.map(encodeValue).join('')}</data></array></value>`;
    if (typeof value === 'object') {
        const members = Object.entries(value)
            .map(([name, v]) => `<member><name>${escapeText(name)}</name>${encodeValue(v)}</member>`);
        return `<value><struct>${members.join('')}</struct></value>`;
    }
    return `<value><string>${escapeText(value)}</string></value>`;
}

/** The text of a <methodCall> for `method` with the given parameters. */
export function buildCall(method, params = []) {
    const encoded = params.map((p) => `<param>${encodeValue(p)}</param>`).join('');
    return `<?xml version="1.0" encoding="UTF-8"?>\n<methodCall><methodName>${escapeText(method)}</methodName>`
        + `<params>${encoded}</params></methodCall>`;
}

function childElements(node) {
    return Array.from(node.childNodes).filter((n) => n.nodeType === 1);
}

function decodeValue(valueNode) {
    const typed = childElements(valueNode)[0];
    if (!typed)
        return valueNode.textContent; // a bare <value> holds a string
    const text = typed.textContent;
    switch (typed.localName) {
    case 'int': case 'i4': case 'i8':
        return parseInt(text.trim(), 10);
    case 'double':
        return parseFloat(text.trim());
    case 'boolean':
        return text.trim() === '1' || text.trim().toLowerCase() === 'true';
    case 'string':
        return text;
    case 'nil':
        return null;
    case 'dateTime.iso8601':
        return text.trim();
    case 'base64':
        return atob(text.replace(/\s+/g, ''));
    case 'array': {
        const data = childElements(typed).find((n) => n.localName === 'data');
        return data ? childElements(data).filter((n) => n.localName === 'value').map(decodeValue) : [];
    }
    case 'struct': {
        const result = {};
        for (const member of childElements(typed).filter((n) => n.localName === 'member')) {
            const parts = childElements(member);
            const name = parts.find((n) => n.localName === 'name');
            const value = parts.find((n) => n.localName === 'value');
            if (name && value)
                result[name.textContent] = decodeValue(value);
        }
        return result;
    }
    default:
        throw new Error(`unknown XML-RPC type <${typed.localName}>`);
    }
}

/** The value of a <methodResponse>; throws RpcFault for a <fault>, Error for anything unreadable. */
export function parseResponse(text) {
    const doc = new DOMParser().parseFromString(text, 'text/xml');
    if (doc.getElementsByTagName('parsererror').length > 0 || doc.documentElement.localName !== 'methodResponse')
        throw new Error('The server sent an answer that is not XML-RPC.');
    const top = childElements(doc.documentElement)[0];
    if (top && top.localName === 'fault') {
        const value = childElements(top).find((n) => n.localName === 'value');
        const fault = value ? decodeValue(value) : {};
        throw new RpcFault(fault.faultCode, fault.faultString);
    }
    const value = top && top.localName === 'params'
        ? top.querySelector('param > value') : null;
    if (!value)
        throw new Error('The server sent an XML-RPC answer without a value.');
    return decodeValue(value);
}
