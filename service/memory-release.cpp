#include "memory-release.h"

#include <QPointer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <vector>

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
// 5 s later, most runs 35 to 60 MB (six 1.2 MB requests: 25 to 45 MB), when
// only malloc_trim() runs; the limit bounds that when more large requests than
// that come at once. Fixing the thresholds instead (an mmap threshold of 1 or
// 4 MiB, the trim threshold twice that) held under 17 MB but took 3x the CPU
// time per 4.8 MB request sent back to back: see above. So each serving
// thread gives back its own arena's top as well (below): two rounds of six
// 8.5 MB requests at once then leave 12 to 26 MB over idle, against 31 to
// 93 MB with malloc_trim() alone.
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

// The threads that serve requests, each through an object that lives in it.
std::mutex servingLock;
std::vector<QPointer<QObject>> serving;

// malloc_trim() gives back the free chunks of every arena but the free top
// only of the main one; another arena's top shrinks only when a block freed
// in that arena joins it and makes it pass the trim threshold (which grows,
// with the mmap threshold, up to 64 MiB). So each serving thread first takes
// blocks from its arena that add up to more than that threshold, and frees
// them: the top, past the threshold, is given back down to glibc's small pad,
// or, where the blocks outgrew the arena's heap, it is left as a free chunk
// that the trim after them gives back. The blocks grow the heap in address
// space only: no page of theirs is written but their headers.
std::atomic<int> probesPending{0};

// A sanitizer's allocator is not glibc's: its blocks would be real memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kGlibcArenas = false;
#else
constexpr bool kGlibcArenas = true;
#endif

void giveBackThisThreadsTop() {
    constexpr std::size_t kBlock = 1024 * 1024;
    constexpr int kBlocks = 160;  // past the free chunks and the largest trim threshold
    void* blocks[kBlocks];
    for (void*& block : blocks) block = std::malloc(kBlock);
    for (int i = kBlocks - 1; i >= 0; --i) std::free(blocks[i]);
    // The last thread to finish trims every arena.
    if (--probesPending == 0) malloc_trim(0);
}

void trimIfIdle() {
    // A request still under way restarts the timer when it ends.
    if (underWay.load() > 0) return;
    if (!owed.exchange(false)) return;
    // Here too: a serving thread ended before its turn leaves the count short.
    malloc_trim(0);
    if (!kGlibcArenas) return;
    const std::lock_guard<std::mutex> lock(servingLock);
    probesPending = static_cast<int>(serving.size());
    for (const QPointer<QObject>& resident : serving) {
        if (!resident || !QMetaObject::invokeMethod(resident.data(), &giveBackThisThreadsTop, Qt::QueuedConnection)) {
            --probesPending;
        }
    }
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

void serveFrom(QObject* resident) {
    const std::lock_guard<std::mutex> lock(servingLock);
    serving.emplace_back(resident);
}

void forget(QObject* resident) {
    const std::lock_guard<std::mutex> lock(servingLock);
    serving.erase(std::remove_if(serving.begin(), serving.end(),
                                 [resident](const QPointer<QObject>& p) { return !p || p.data() == resident; }),
                  serving.end());
}

void releaseWhenIdle() {
    owed.store(true);
    restartTimer();
}

}  // namespace memory
}  // namespace corvane
