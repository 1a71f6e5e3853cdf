// The calibration section of corvane-bench-xpath: what one unit of counted
// XPath work costs, primitive by primitive, on the worst input found for each.
#pragma once

#include <cstddef>
#include <string>

namespace corvane {
namespace bench {

// Prints the table over documents of about `bytes` bytes, each time the least
// of up to `runs`. The status says only whether every measurement ran: 0 when
// each did, 1 when a row could not be measured (an XPath that does not
// compile or complete, or no units where units are expected), 2 when a
// document does not parse. A row flagged as undercharged is printed and
// leaves the status as it is: timings vary, a run that measured is no failure.
int calibrationRows(std::size_t bytes, int runs);

// `count` copies of `piece`: the bench's generated documents.
std::string times(const std::string& piece, std::size_t count);

}  // namespace bench
}  // namespace corvane
