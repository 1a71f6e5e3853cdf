// Small PC/SC helpers for tests on the rig (part of corvane-cardsim).
#pragma once

#include "rig-readers.h"

#include <chrono>
#include <string>
#include <vector>

namespace rig {

// True when pcscd answers and lists every rig reader; otherwise false with
// the reason (no pcscd, or a pcscd without the rig's reader set).
bool pcscdReady(std::string* reason);

// Reader names as pcscd lists them now (empty when pcscd is not running).
std::vector<std::string> listReaders();

// Waits until pcscd reports a card present (or absent) in the reader.
bool waitForCard(const char* readerName, bool present, std::chrono::milliseconds timeout);

// True where the rig must be up (CI=true, or CORVANE_RIG_REQUIRED=1): there
// a missing rig is a failure, not a skip, so a broken rig cannot pass unseen.
bool rigRequired();

}  // namespace rig

// In a GoogleTest body or SetUp: skip the test with the reason when the rig is
// not up (fail instead where rig::rigRequired()).
#define RIG_REQUIRE_PCSCD()                                                                 \
    do {                                                                                    \
        std::string rigReason_;                                                             \
        if (!::rig::pcscdReady(&rigReason_)) {                                              \
            if (::rig::rigRequired())                                                       \
                FAIL() << "PC/SC rig required but not running: " << rigReason_;             \
            else                                                                            \
                GTEST_SKIP() << "PC/SC rig not running: " << rigReason_                    \
                             << " (start it with tests/rig/pcscd-rig.sh start)";            \
        }                                                                                   \
    } while (0)
