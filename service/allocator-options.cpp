// corvane-service's allocator, jemalloc, reads these options when the process
// starts (MALLOC_CONF in the environment still comes over them):
//   - background_thread: a thread of jemalloc's own gives freed pages back on
//     time, also while no request comes to run the allocator;
//   - dirty_decay_ms: pages a request freed stay about 4 s for the next ones
//     (large requests sent one after another reuse them rather than fault them
//     in again), then go back to the system;
//   - muzzy_decay_ms:0: what goes back leaves the resident size at once, not
//     when the kernel comes to want the pages;
//   - oversize_threshold:0: blocks of 8 MiB and more (a large request's body,
//     its Base64 and its document) stay in the arena of the thread that asked
//     for them, under the decay above, instead of an arena of their own that
//     gives them back as soon as they are freed: a 4.8 MB document signed
//     again and again cost 1.7 to 1.8 times the CPU time per request, in page
//     faults, of a build on the C library's allocator;
//   - lg_extent_max_active_fit:10: a freed large block may be split for a
//     request up to 1024 times smaller (64 by default), so that the small
//     blocks of a large request reuse what its large ones freed: six 4.8 MB
//     documents signed at once peaked about 100 MiB lower (and each further
//     one took a quarter of the page faults), and freed pages do not stay
//     long enough to fragment: they go back within seconds.
extern "C" {
const char* malloc_conf =
    "background_thread:true,dirty_decay_ms:4000,muzzy_decay_ms:0,oversize_threshold:0,lg_extent_max_active_fit:10";
}
