// The request decoding and dispatch of corvane-service:
// ZuServiceController::processRequest with the raw "parameters" text, over
// the eight actions of the JSONP controller, with no reader or token in reach
// (see fuzz-no-card.cpp and fuzz-dispatch.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz-dispatch.h"
#include "zuservicecontroller.h"

namespace {

ZuServiceController* controller = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    corvane::fuzz::initializeDispatchTarget(argc, argv, "jsonp-dispatch");
    controller = new ZuServiceController(nullptr);   // one for the process, as in the program
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvane::fuzz::fuzzDispatcher(data, size, "ZuServiceController::processRequest", [](const std::string& message) {
        return controller->processRequest("127.0.0.1", message).toStdString();
    });
    return 0;
}
