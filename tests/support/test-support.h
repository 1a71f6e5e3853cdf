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

}  // namespace test
}  // namespace corvane
