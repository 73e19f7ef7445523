#pragma once

class HttpRequest;
class HttpResponse;
class QObject;

// Serves one XML-RPC call over HTTP: decodes the methodCall in the request body, finds the
// method in MaiaXmlRpcServerSecurity's table, invokes the public slot of that name on the
// responder and answers with a methodResponse holding the slot's return value.
//
// The slot is chosen by name and by the number of parameters (overloads are told apart that
// way; at most ten parameters). Each parameter is converted to the slot's declared type with
// QVariant's own conversions; a value that cannot be converted becomes a default-constructed
// value of that type, so a type mismatch never fails the call. A QVariant parameter receives
// the decoded value as it is. A void slot answers nil.
//
// Every failure is answered with an XML-RPC fault (HTTP status 200): -32700 for a body that is
// not well-formed XML, -32600 for one that is not a valid methodCall, -32601 for an unknown
// method or a responder without such a slot, -32602 for a wrong number of parameters, -32603
// when the slot cannot be invoked, throws, or returns a value that cannot be encoded. A
// responder derived from XmlRpcResponder that refuses the call is answered with its own fault.
class MaiaXmlRpcServerConnection
{
public:
    // Runs on the calling (connection) thread and invokes the slot directly on it, whatever
    // thread the responder belongs to; may run on many threads at once. Writes the whole
    // answer (Content-Type text/xml, Content-Length) and completes the response.
    static void processRequest(HttpRequest &request, HttpResponse &response, QObject *responder);
};
