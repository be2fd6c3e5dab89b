// PostCall: runs a function on the thread of a QObject, after every call
// posted to that object before it (QMetaObject::invokeMethod, queued). All
// hand-overs between the monitor's thread and a front end's go through it.
//
// Qt's event queue orders what the poster wrote (the function and what it
// captured) before the call, inside Qt, where ThreadSanitizer cannot see
// it. PostCall holds a mutex of its own while it posts, and the call takes
// that mutex once before it runs: the same order, in a form the tool sees.
// The mutex is never held while anything else is locked or run, so it
// costs a poster or a receiver no more than an enqueue.
#ifndef TALLYVOX_MONITOR_POST_CALL_H_
#define TALLYVOX_MONITOR_POST_CALL_H_

#include <functional>

class QObject;

namespace tallyvox::monitor {

// REQUIRES: `receiver` lives until the call has run (or its thread's
// event loop has ended).
void PostCall(QObject* receiver, std::function<void()> call);

}  // namespace tallyvox::monitor

#endif  // TALLYVOX_MONITOR_POST_CALL_H_
