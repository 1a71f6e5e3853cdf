#include "memory-release.h"

#include <QTimer>
#include <atomic>
#include <malloc.h>

namespace corvane {
namespace memory {

namespace {

// The C library's thresholds stay its own: setting any of them (mallopt
// M_TRIM_THRESHOLD, M_TOP_PAD, M_MMAP_THRESHOLD) also fixes the mmap threshold
// at 128 KiB, and every buffer of a large request then becomes a fresh mapping,
// faulted in page by page and unmapped when freed: twice the CPU time per
// request. malloc_trim() instead gives back the free pages of every arena, and
// it runs only once no request has been under way for a moment, so that
// requests coming one after the other keep reusing what the first one faulted in.
//
// malloc_trim() gives back the free pages inside every arena and the free top
// of the main one, but another arena keeps its free top up to the (dynamic, up
// to 64 MiB) trim threshold. The connection threads of six large requests at
// once each took an arena of their own and the program stayed about 45 MB over
// its idle size after the trim; with at most two arenas (a limit that leaves
// the dynamic thresholds alone) the trim brings it back within 1 MB of idle.
constexpr int kArenas = 2;

std::atomic<QTimer*> idleTimer{nullptr};
std::atomic<int> underWay{0};
std::atomic<bool> owed{false};

void restartTimer() {
    QTimer* timer = idleTimer.load();
    if (!timer) return;
    // The timer belongs to the event loop's thread; a request's thread asks it there.
    QMetaObject::invokeMethod(timer, [timer]() { timer->start(); }, Qt::QueuedConnection);
}

void trimIfIdle() {
    // A request still under way restarts the timer when it ends.
    if (underWay.load() > 0) return;
    if (owed.exchange(false)) malloc_trim(0);
}

}  // namespace

void prepareRelease() {
    if (idleTimer.load()) return;
    mallopt(M_ARENA_MAX, kArenas);
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
