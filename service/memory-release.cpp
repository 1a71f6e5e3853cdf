#include "memory-release.h"

#include <QTimer>
#include <atomic>
#include <malloc.h>

#include <jemalloc/jemalloc.h>

// jemalloc's control interface is there only in a program linked with jemalloc
// (corvane-service in a build without sanitizers); elsewhere its address is
// null and the C library's allocator serves the process.
#pragma weak mallctl

#define CORVANE_TEXT_OF(x) #x
#define CORVANE_TEXT(x) CORVANE_TEXT_OF(x)

namespace corvane {
namespace memory {

namespace {

// jemalloc's name for purging all of its arenas at once.
constexpr const char* kPurgeAllArenas = "arena." CORVANE_TEXT(MALLCTL_ARENAS_ALL) ".purge";

std::atomic<QTimer*> idleTimer{nullptr};
std::atomic<int> underWay{0};
std::atomic<bool> owed{false};

void restartTimer() {
    QTimer* timer = idleTimer.load();
    if (!timer) return;
    // The timer belongs to the event loop's thread; a request's thread asks it there.
    QMetaObject::invokeMethod(timer, [timer]() { timer->start(); }, Qt::QueuedConnection);
}

// jemalloc gives freed pages back on its own once they have stayed unused for
// its decay time (the program's malloc_conf), little by little; asked here,
// every arena gives back all of its unused pages at once, whichever thread
// freed them: resident size is back near idle about 1.5 s after the last
// answer rather than 7 to 8 s. Nothing is allocated or mapped to do it.
// Without jemalloc (corvane-universal, which serves from its event loop's
// thread and so from the C library's main arena; sanitizer builds),
// malloc_trim() gives back the free pages of every arena and the main one's
// free top.
void giveBack() {
    if (mallctl) {
        mallctl(kPurgeAllArenas, nullptr, nullptr, nullptr, 0);
    } else {
        malloc_trim(0);
    }
}

void trimIfIdle() {
    // A request still under way restarts the timer when it ends.
    if (underWay.load() > 0) return;
    if (!owed.exchange(false)) return;
    giveBack();
}

}  // namespace

void prepareRelease() {
    if (idleTimer.load()) return;
    // Lives as long as the process: requests' threads may reach it up to the end.
    auto* timer = new QTimer;
    timer->setSingleShot(true);
    timer->setInterval(kIdleBeforeTrimMs);
    QObject::connect(timer, &QTimer::timeout, timer, &trimIfIdle);
    idleTimer.store(timer);
}

void requestStarted() { ++underWay; }

void requestFinished(qint64 bytes) {
    if (bytes >= kLargeRequestBytes) owed.store(true);
    if (--underWay == 0 && owed.load()) restartTimer();
}

void releaseWhenIdle() {
    owed.store(true);
    restartTimer();
}

}  // namespace memory
}  // namespace corvane
