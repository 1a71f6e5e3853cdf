// Freed memory handed back to the system once the program has nothing to do.
// A large request takes tens of times its size while it is served; what it
// freed must not stay with the program, but giving it back inside or between
// requests makes every next large request fault all of it in again.
#pragma once

#include <QtGlobal>

namespace corvane {
namespace memory {

// A request (or message) of at least this many bytes leaves memory to give back.
constexpr qint64 kLargeRequestBytes = 1024 * 1024;

// Time with no request under way before that memory is given back.
constexpr int kIdleBeforeTrimMs = 1500;

// Call once at start, from the thread that runs the program's event loop: the
// memory is given back there. Without it the calls below do nothing.
void prepareRelease();

// From any thread: a request is being served, and then it has been served and
// everything it held freed (`bytes`: its size).
void requestStarted();
void requestFinished(qint64 bytes);

// From the event loop's thread, where requests are served one at a time: a
// large request or message has been freed.
void releaseWhenIdle();

}  // namespace memory
}  // namespace corvane
