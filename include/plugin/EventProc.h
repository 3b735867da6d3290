// EventProc: how a plug-in hands a record to the host.
#pragma once

class Record;

// The host gives every plug-in one EventProc and a context through
// setCallback(). The plug-in calls it with:
//   context  the pointer it was given together with the procedure;
//   sender   the plug-in object itself (a control plug-in's answer comes
//            back through this object's processRecord);
//   tag      any number: it is handed unchanged to the receiver, or back to
//            a control plug-in with the answer to its request;
//   record   the record; it stays the caller's and is valid for the call.
//            The receiver works on this very object: what it changes is what
//            the caller finds when the call returns.
// Result: 0 or 1, the receiver's answer; 3, nobody supports the record.
// A control plug-in's requests always return 0.
//
// A plug-in may call its EventProc from any thread, from several threads at
// once, from the moment setCallback() has been called until its stop() has
// returned.
typedef int (*EventProc)(void* context, void* sender, int tag, Record* record);

// Result codes of the record relay.
enum RelayResult {
    RELAY_ANSWER_0 = 0,
    RELAY_ANSWER_1 = 1,
    RELAY_NOT_SUPPORTED = 3,
};
