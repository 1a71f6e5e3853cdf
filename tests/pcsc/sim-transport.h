// In-process transport for the APDU tests: this test program defines
// SCardTransmit itself, so the engine's APDU functions talk straight to a
// simulated card (cardsim::Card::process) without pcscd. It also produces
// what no real reader would: replies shorter than a status word and failed
// transmissions.
#pragma once

#include <cstdint>
#include <vector>

namespace cardsim {
class Card;
}

namespace simtransport {

// Every SCardTransmit of this program goes to `card` (nullptr: none attached,
// transmissions fail with SCARD_E_INVALID_HANDLE).
void attach(cardsim::Card* card);
// The next `count` transmissions fail with `code` before reaching the card.
void failTransmissions(long code, int count = 1);
// The next transmission answers exactly `reply` (possibly empty) instead of the card.
void answerRaw(const std::vector<uint8_t>& reply);
// Number of transmissions seen since the last attach.
int transmissions();

}  // namespace simtransport
