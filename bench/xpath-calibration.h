// The calibration section of corvane-bench-xpath: what one unit of counted
// XPath work costs, primitive by primitive, on the worst input found for each.
#pragma once

#include <cstddef>
#include <string>

namespace corvane {
namespace bench {

// Prints the table over documents of about `bytes` bytes, each time the least
// of `runs` or more, taken in turns with the reference's. The status says
// whether every measurement ran: 0 when each did, 1 when a row could not be
// measured (an XPath that does not compile or complete, no units where units
// are expected, a reference that answers wrong), 2 when a document does not
// parse. A row flagged as undercharged is printed and leaves the status as it
// is: a verdict on time, which varies from run to run.
int calibrationRows(std::size_t bytes, int runs);

// `count` copies of `piece`: the bench's generated documents.
std::string times(const std::string& piece, std::size_t count);

}  // namespace bench
}  // namespace corvane
