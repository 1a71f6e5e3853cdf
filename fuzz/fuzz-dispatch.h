// Shared by the two dispatch targets (the JSONP controller and the WebSocket
// dispatcher): each input is a request text, sent once as the page sends it
// (Base64 of the text) and once as it stands (whatever a page might put in
// "parameters" or a frame).
//
// Besides crashes, leaks, undefined behaviour and hangs, a target stops when
//   - an answer is not the text of a JSON array, or
//   - a PIN reaches the log: a "pincode" value of at least 8 bytes that no
//     other part of the request carries (compared as the PIN's own bytes, as
//     they would stand repaired to UTF-8, and as the decoded JSON text) shows
//     up in the engine's log after the request (and was not there before),
//     and sending the request again with that PIN changed in its own place,
//     and nothing else changed, shows the changed PIN in the log too.
//     CORVANE_FUZZ_SKIP_PIN_CHECK=1 turns this check off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {
namespace fuzz {

// Sets up a dispatch target: application, work folder, PC/SC cut off, empty
// card database.
void initializeDispatchTarget(int* argc, char*** argv, const char* name);

// Runs `dispatch` on both forms of the input and checks each answer.
void fuzzDispatcher(const std::uint8_t* data, std::size_t size, const char* who,
                    const std::function<std::string(const std::string& message)>& dispatch);

}  // namespace fuzz
}  // namespace corvane
