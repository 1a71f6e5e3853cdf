// The request decoding and dispatch of corvane-universal:
// dispatchUniversalRequest with the text of one frame, over the twelve actions
// of the WebSocket dispatcher, with no reader or token in reach (see
// fuzz-no-card.cpp and fuzz-dispatch.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz-dispatch.h"
#include "quessel-universal.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    corvane::fuzz::initializeDispatchTarget(argc, argv, "universal-dispatch");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::fuzzDispatcher(data, size, "dispatchUniversalRequest",
                                  [](const std::string& message) { return dispatchUniversalRequest(message); });
    return 0;
}
