#pragma once
// The one way work leaves the main thread here: `work` runs on a new short-lived thread, and
// `done` runs afterwards on the thread of `context` (the main thread), after the worker thread has
// finished, so everything the work wrote is safe to read there. When `context` is destroyed
// first, `done` is not called.

#include <QObject>
#include <QThread>
#include <functional>

// Returns the started thread; it deletes itself once `done` has run. The caller may wait() on it
// (before its event loop turns again) to join it early, e.g. when shutting down.
QThread *runOnWorkerThread(QObject *context, std::function<void()> work, std::function<void()> done);
