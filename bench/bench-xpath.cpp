// The cost of the XPaths a page gives to place and aim a signature: each form
// callers write, evaluated with selectByXPath (allowance xpathWorkAllowance of
// the text's size) and with pugixml's select_nodes on the same document, over
// generated e-invoice fragments of N and 4N elements in two shapes: flat
// (every element a child of the root, the UBL extension at the end) and deep
// (1,000 nested levels, each with N/1,000 children, the extension at the
// deepest level), where an evaluator that walks each subtree once per
// ancestor pays N x 1,000 per "//" step. Then the nested count()s that keep
// pugixml busy for hours (pugixml is not run on them): the time ours takes
// to stop and the work it counted.
//
// Prints the median time of 5 runs of each, their ratio, the nodes each
// selects, the work ours counted as a share of the allowance, and the time
// per 1,000 elements, which stays flat from N to 4N when the cost grows with
// the size of the document; asserts nothing about time. The exit status is
// non-zero when ours selects other nodes than pugixml, or stops on a form
// callers write, or completes the nested count()s.
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
namespace xades = tev::quessel::xades;

const char* const kRootStart =
    "<Invoice xmlns=\"urn:corvane:bench:e-invoice:Invoice-2\""
    " xmlns:ext=\"urn:corvane:bench:e-invoice:CommonExtensionComponents-2\""
    " xmlns:cbc=\"urn:corvane:bench:e-invoice:CommonBasicComponents-2\""
    " xmlns:cac=\"urn:corvane:bench:e-invoice:CommonAggregateComponents-2\">";
const char* const kExtension =
    "<ext:UBLExtensions><ext:UBLExtension><ext:ExtensionContent/></ext:UBLExtension></ext:UBLExtensions>";

// The i-th leaf: an ID (the one of `marked` with Id "x"), a note (the first
// one says "first") or a line of the default namespace.
std::string leaf(int i, bool marked) {
    switch (i % 3) {
        case 0: return "<cbc:ID Id=\"" + (marked ? std::string("x") : std::to_string(i)) + "\">" + std::to_string(i) + "</cbc:ID>";
        case 1: return i == 1 ? "<cbc:Note>first</cbc:Note>" : "<cbc:Note>note " + std::to_string(i) + "</cbc:Note>";
        default: return "<Line>" + std::to_string(i) + "</Line>";
    }
}

// n elements under the root, the ID in the middle marked, the extension last.
std::string flatShape(int n) {
    std::string text = kRootStart;
    for (int i = 0; i + 4 < n; ++i) text += leaf(i, i == (n / 2) / 3 * 3);
    return text + kExtension + "</Invoice>";
}

// 1,000 nested cac:InvoiceLine, each with n/1,000 - 1 leaves before the next
// level; the deepest level holds the marked ID and the extension.
std::string deepShape(int n) {
    const int levels = 1000, perLevel = std::max(4, n / levels);
    std::string text = kRootStart;
    for (int level = 0, i = 0; level < levels; ++level) {
        text += "<cac:InvoiceLine>";
        for (int k = 1; k < perLevel; ++k, ++i) text += leaf(level == levels - 1 && k == 1 ? 0 : i, level == levels - 1 && k == 1);
    }
    text += kExtension;
    for (int level = 0; level < levels; ++level) text += "</cac:InvoiceLine>";
    return text + "</Invoice>";
}

// The median time of up to 5 runs of `run`; a run over a second is not
// repeated (pugixml takes minutes on some forms over the deep shape).
template <typename Run>
double medianMs(const Run& run, int* runs) {
    std::vector<double> ms;
    while (ms.size() < 5 && (ms.empty() || ms.back() < 1000)) {
        const Clock::time_point start = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    *runs = static_cast<int>(ms.size());
    std::sort(ms.begin(), ms.end());
    return ms[(ms.size() - 1) / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int size = 100000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--size") == 0) size = std::atoi(argv[++i]);
    }
    const char* const forms[] = {
        "//*[local-name()='ExtensionContent' and "
        "namespace-uri()='urn:corvane:bench:e-invoice:CommonExtensionComponents-2']",
        "(//ext:ExtensionContent)[1]", "/descendant::ext:ExtensionContent",
        "//ext:UBLExtension/child::ext:ExtensionContent", "//ext:ExtensionContent/ancestor::*[1]",
        "//ext:ExtensionContent[not(*)]", "//*[starts-with(local-name(), 'Extension')]",
        "//*[contains(name(), 'ExtensionCont')]", "//ext:ExtensionContent[count(*)=0]",
        "//ext:UBLExtension[ext:ExtensionContent]", "//cbc:Note[.='first']", "//ext:ExtensionContent | //ext:Other",
        "(//*)[1]", "//cbc:ID/ancestor::Invoice", "//*//*//*", "//cbc:ID[last()]",
        "//*[local-name()='ID'][@Id='x']"};
    const char* const costly[] = {"/Invoice[count(//*[count(//*[count(//*) > 0]) > 0]) > 0]",
                                  "/Invoice[count(//*[count(//*[count(//*[count(//*) > 0]) > 0]) > 0]) > 0]"};
    const int formCount = sizeof forms / sizeof *forms, costlyCount = sizeof costly / sizeof *costly;

    std::printf("\nXPaths: selectByXPath against pugixml's select_nodes (median of 5 runs each)\n");
    for (int f = 0; f < formCount + costlyCount; ++f) {
        std::printf("  %c%-2d %s\n", f < formCount ? 'F' : 'C', (f < formCount ? f : f - formCount) + 1,
                    f < formCount ? forms[f] : costly[f - formCount]);
    }
    std::printf("  (C: ours only, pugixml would take hours; *: one run, it took over a second;\n"
                "   work %%: the work ours counted, in %% of the allowance; ms/1000: ours per 1,000 elements)\n");
    std::printf("\n  %-5s %8s %5s %11s %12s %7s %9s %9s %8s %9s\n", "shape", "elements", "XPath", "ours (ms)",
                "pugixml (ms)", "ratio", "ours sel.", "pugi sel.", "work %", "ms/1000");
    int status = 0;
    for (const bool deep : {false, true}) {
        for (const int n : {size, 4 * size}) {
            const std::string text = deep ? deepShape(n) : flatShape(n);
            pugi::xml_document document;
            if (!document.load_string(text.c_str(), pugi::parse_full | pugi::parse_ws_pcdata)) {
                std::printf("  the generated document does not parse\n");
                return 2;
            }
            const xades::XPathAllowance allowance = xades::xpathAllowance(text.size());
            for (int f = 0; f < formCount + costlyCount; ++f) {
                const bool form = f < formCount;
                const std::string xpath = form ? forms[f] : costly[f - formCount];
                std::vector<pugi::xpath_node> nodes;
                pugi::xpath_node_set expected;
                xades::XPathOutcome outcome;
                int ourRuns = 0, theirRuns = 0;
                const double ours = medianMs([&] { outcome = xades::selectByXPath(document, xpath, allowance, &nodes); }, &ourRuns);
                const std::string selected = outcome.completed ? std::to_string(nodes.size()) : "stopped";
                const double share = 100.0 * static_cast<double>(outcome.work) / static_cast<double>(allowance.work);
                if (!form) {
                    std::printf("  %-5s %8d C%-4d %10.3f%c %12s %7s %9s %9s %8.1f %9.4f%s\n", deep ? "deep" : "flat", n,
                                f - formCount + 1, ours, ourRuns < 5 ? '*' : ' ', "-", "-", selected.c_str(), "-", share,
                                ours * 1000 / n, outcome.completed ? "  COMPLETED" : "");
                    if (outcome.completed) status = 1;
                    continue;
                }
                const double theirs = medianMs([&] { expected = document.select_nodes(xpath.c_str()); expected.sort(); }, &theirRuns);
                const bool same = nodes == std::vector<pugi::xpath_node>(expected.begin(), expected.end());
                std::printf("  %-5s %8d F%-4d %10.3f%c %11.3f%c %7.2f %9s %9zu %8.1f %9.4f%s\n", deep ? "deep" : "flat", n,
                            f + 1, ours, ourRuns < 5 ? '*' : ' ', theirs, theirRuns < 5 ? '*' : ' ', ours / theirs,
                            selected.c_str(), expected.size(), share, ours * 1000 / n,
                            same ? "" : outcome.completed ? "  DIFFERENT NODES" : "  STOPPED");
                if (!same) status = 1;
                std::fflush(stdout);
            }
            std::printf("  %-5s %8d  %zu bytes, allowance %llu\n", deep ? "deep" : "flat", n, text.size(),
                        static_cast<unsigned long long>(allowance.work));
        }
    }
    return status;
}
