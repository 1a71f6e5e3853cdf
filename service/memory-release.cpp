#include "memory-release.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
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
// to 64 MiB) trim threshold, so what stays after the trim grows with the
// number of arenas that served large requests. Two arenas at most brought six
// 4.8 MB XAdES requests at once back within 1 MB of idle, but 64 connection
// threads answering small requests then queued on two arena locks: on 8 CPUs
// "initialize" over JSONP ran at 0.63x (16 connections) and 0.47x (64) of the
// rate of afca9b7, which set no limit; four arenas still gave 0.84x and 0.77x,
// eight 0.90x to 1.03x and 0.77x to 1.06x, sixteen 0.98x and 1.05x (one run
// each, on a busy machine). Two per CPU leaves headroom over the CPUs that run
// threads at once. Six such requests take six arenas under any limit from 8
// up, glibc's own (eight per CPU) included, and leave 15 to 111 MB over idle
// 5 s later, most runs 35 to 60 MB (six 1.2 MB requests: 25 to 45 MB); the
// limit bounds that when more large requests than that come at once. Fixing
// the thresholds instead (an mmap threshold of 1 or 4 MiB, the trim threshold
// twice that) held under 17 MB but took 3x the CPU time per 4.8 MB request
// sent back to back: see above.
int arenaLimit() { return 2 * std::max(1, QThread::idealThreadCount()); }

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
    mallopt(M_ARENA_MAX, arenaLimit());
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
