#include "sim-transport.h"

#include <cstring>
#include <mutex>
#include <optional>

#include <winscard.h>

#include "card-simulator.h"

namespace {

std::mutex lock;
cardsim::Card* attached = nullptr;
long failureCode = 0;
int failuresLeft = 0;
std::optional<std::vector<uint8_t>> rawAnswer;
int transmitted = 0;

}  // namespace

namespace simtransport {

void attach(cardsim::Card* card) {
    std::lock_guard<std::mutex> hold(lock);
    attached = card;
    failuresLeft = 0;
    rawAnswer.reset();
    transmitted = 0;
}

void failTransmissions(long code, int count) {
    std::lock_guard<std::mutex> hold(lock);
    failureCode = code;
    failuresLeft = count;
}

void answerRaw(const std::vector<uint8_t>& reply) {
    std::lock_guard<std::mutex> hold(lock);
    rawAnswer = reply;
}

int transmissions() {
    std::lock_guard<std::mutex> hold(lock);
    return transmitted;
}

}  // namespace simtransport

extern "C" LONG SCardTransmit(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                              SCARD_IO_REQUEST*, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
    cardsim::Card* card;
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> hold(lock);
        ++transmitted;
        if (failuresLeft > 0) {
            --failuresLeft;
            return static_cast<LONG>(failureCode);
        }
        card = attached;
        if (rawAnswer) {
            reply = *rawAnswer;
            rawAnswer.reset();
            card = nullptr;
        } else if (card == nullptr) {
            return SCARD_E_INVALID_HANDLE;
        }
    }
    if (card != nullptr) reply = card->process(cardsim::Bytes(pbSendBuffer, pbSendBuffer + cbSendLength));
    if (pcbRecvLength == nullptr || pbRecvBuffer == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (reply.size() > *pcbRecvLength) return SCARD_E_INSUFFICIENT_BUFFER;
    if (!reply.empty()) std::memcpy(pbRecvBuffer, reply.data(), reply.size());
    *pcbRecvLength = static_cast<DWORD>(reply.size());
    return SCARD_S_SUCCESS;
}
