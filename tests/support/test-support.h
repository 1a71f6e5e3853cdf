// Helpers shared by the test programs (see test-main.cpp).
#pragma once

#include <QString>
#include <string>

namespace corvane {
namespace test {

// The log file the engine writes to during this test program.
std::string logFilePath();
// Whole content of that log file, and a way to empty it between cases.
std::string readLog();
void clearLog();
// A private folder that lives as long as the test program.
QString privateFolder();
// False when the program was started for a run under a desktop locale
// (CORVANE_TEST_LOCALE, set by ctest together with LANG and LC_ALL) and Qt
// did not take that locale, or it writes ASCII digits anyway: the run would
// then prove nothing. True when no such run was asked for.
bool requestedLocaleInEffect();

}  // namespace test
}  // namespace corvane
