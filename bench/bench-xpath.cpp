// The cost of the XPaths a page gives to place and aim a signature: each one
// evaluated with selectByXPath over generated documents of N and 4N elements,
// in two shapes: flat (every element a child of the root) and deep (1,000
// nested levels, each with N/1,000 children), where an evaluator that walks
// each subtree once per ancestor pays N x 1,000 per "//" step. The nested
// count()s that keep pugixml's evaluator busy for hours are refused before
// any evaluation.
//
// Prints the median time of 5 runs and the time per 1,000 elements, which
// stays flat from N to 4N when the cost grows with the size of the document;
// asserts nothing about time. The exit status says whether every XPath was
// taken (or refused) as expected.
//
//   corvane-bench-xpath [--size N]        (default 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tev-xpath.h"

namespace {

using Clock = std::chrono::steady_clock;

// <d><e Id="0"/>...<e Id="x"/>...</d>: n elements, the one with Id "x" in the middle.
std::string flatShape(int n) {
    std::string text = "<d>";
    for (int i = 1; i < n; ++i) text += "<e Id=\"" + (i == n / 2 ? std::string("x") : std::to_string(i)) + "\"/>";
    return text + "</d>";
}

// 1,000 nested <e>, each with n/1,000 - 1 empty <e/> before the next level;
// the deepest level's last child has Id "x".
std::string deepShape(int n) {
    const int levels = 1000, perLevel = std::max(1, n / levels);
    std::string text;
    for (int level = 0; level < levels; ++level) {
        text += "<e Id=\"L" + std::to_string(level) + "\">";
        for (int i = 1; i < perLevel; ++i) text += level == levels - 1 && i == perLevel - 1 ? "<e Id=\"x\"/>" : "<e/>";
    }
    for (int level = 0; level < levels; ++level) text += "</e>";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    int size = 100000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--size") == 0) size = std::atoi(argv[++i]);
    }
    const char* const xpaths[] = {"//*//*//*", "//e[last()]", "//*[local-name()='e'][@Id='x']",
                                  "/d[count(//*[count(//*[count(//*) > 0]) > 0]) > 0]"};

    std::printf("\nselectByXPath over generated documents (median of 5 runs)\n");
    std::printf("  %-5s %9s  %-52s %9s %10s %16s\n", "shape", "elements", "XPath", "selected", "time (ms)",
                "ms per 1000 el.");
    int status = 0;
    for (const bool deep : {false, true}) {
        for (const int n : {size, 4 * size}) {
            pugi::xml_document document;
            if (!document.load_string((deep ? deepShape(n) : flatShape(n)).c_str())) {
                std::printf("  the generated document does not parse\n");
                return 2;
            }
            for (const char* xpath : xpaths) {
                std::vector<double> ms;
                std::vector<pugi::xpath_node> nodes;
                bool taken = false;
                for (int run = 0; run < 5; ++run) {
                    const Clock::time_point start = Clock::now();
                    taken = tev::quessel::xades::selectByXPath(document, xpath, tev::quessel::xades::xpathWorkAllowance(8 * n), &nodes).completed;
                    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                }
                std::sort(ms.begin(), ms.end());
                const std::string selected = taken ? std::to_string(nodes.size()) : "refused";
                std::printf("  %-5s %9d  %-52s %9s %10.3f %16.4f\n", deep ? "deep" : "flat", n, xpath,
                            selected.c_str(), ms[2], ms[2] * 1000 / n);
                if (taken != (std::strstr(xpath, "count(") == nullptr)) status = 1;
            }
        }
    }
    return status;
}
