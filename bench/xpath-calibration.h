// The calibration section of corvane-bench-xpath: what one unit of counted
// XPath work costs, primitive by primitive, on the worst input found for each.
#pragma once

#include <cstddef>
#include <string>

namespace corvane {
namespace bench {

// Prints the table over documents of about `bytes` bytes, each time the least
// of `runs`; returns 1 when a primitive costs more than twice the nominal a
// unit (or a row could not be measured), 2 when a document does not parse.
int calibrationRows(std::size_t bytes, int runs);

// `count` copies of `piece`: the bench's generated documents.
std::string times(const std::string& piece, std::size_t count);

}  // namespace bench
}  // namespace corvane
