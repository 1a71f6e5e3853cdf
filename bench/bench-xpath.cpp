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
// Prints the median time of 3 runs of each, their ratio, the nodes each
// selects, the work ours counted as a share of the allowance, and the time
// per 1,000 elements, which stays flat from N to 4N when the cost grows with
// the size of the document; asserts nothing about time. pugixml's first run
// of each form is in a child killed after 2 s (--pugixml-timeout; it needs
// minutes for //*//*//* over the deep shape). Rows where ours selects other
// nodes than pugixml, stops on a form callers write, or completes the nested
// count()s are wrong, and flagged.
//
// Then hostile texts, each on a document of about 10 MB (--hostile-size):
//   H1  'a' x L searched for 'a' x L/10 then 'b' (contains, substring-before,
//       substring-after), which a search restarting at each byte makes
//       quadratic;
//   H2  translate() of 'b' x L with a 'from' of 'a' x L/10;
//   H3  lang() on the children <b/> of a root with very many attributes
//       (15 attributes per child);
//   H4  a nested count() whose name test compares 4,000-byte names, E x E
//       times;
//   H5  memory: //e = //e over nested <e> with 3,600 bytes of text each, and
//       concat() of the root's string value 60 times;
//   H6  numbers past the double range (1 followed by 400 zeros, and its
//       negative) among many <p>3</p>, compared and multiplied, with what
//       each side selects;
//   H7  the following, preceding and ancestor axes over chains of 990
//       nested elements, and the sibling axes over a run of siblings, each
//       in a predicate that needs one node (or a step that takes one);
//   H8  string work over a run of one byte, once per <a/>: contains() and
//       substring-before() of 'AAx' in the text of a document of 90 <a/>
//       and in one of many, and contains(), normalize-space() and
//       translate() of a literal of 200,000 'A' under a run of siblings.
// Each evaluation runs once, alone in a child process forked after the
// parse: the time to answer or stop, the child's peak resident growth, ours'
// outcome (completed, or stopped by the work or the memory allowance, with
// the work and peakBytes as shares of them), and the names each selects.
// pugixml is killed after 2 s (--pugixml-timeout), ours after 60 s; with
// --long, pugixml after 30 s, and a row where it was killed is run again on
// a tenth of the document, and again, until it finishes (down to 10 kB).
// Rows where ours gives no answer, answers with other nodes than a pugixml
// that finished, or holds more than the memory allowance are wrong, and
// flagged.
//
// The exit status is 1 when any row is wrong, here or in the forms, or a
// measurement did not run (a child that gave no report at all, a
// calibration row that could not be measured), and 2 when a generated
// document does not parse. The calibration's verdicts on time
// (UNDERCHARGED) are printed, loudly, and leave it alone: a time varies from
// run to run, an answer does not.
//
//   corvane-bench-xpath [--size N]             (default 100000)
//                       [--hostile-size BYTES] (default 10000000; 0: none)
//                       [--pugixml-timeout S]  (default 2; with --long, 30)
//                       [--long]               (the longer comparison above)
//                       [--calibration-size BYTES] (default 3600000)
//                       [--calibration-runs N] (default 3)
//                       [--only calibration|forms|hostile]
//
// First of all, the calibration table (xpath-calibration.cpp): what a unit
// of counted work costs, primitive by primitive, on the worst inputs found.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tev-xpath.h"
#include "xpath-calibration.h"

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

// ---- evaluations in a child process ----------------------------------------
//
// A hostile text's evaluation runs in a child forked once the document is
// parsed: its resident peak then shows what that evaluation alone took (the
// tree is shared with the parent). A pugixml that would run for minutes, on
// a hostile text or on a form over the deep shape, is simply killed.

// A child may map this much beyond what it had at the fork: pugixml holds
// every string it builds, and the machine is shared.
const std::uint64_t kChildAddressSpace = std::uint64_t(4) << 30;

// A field of /proc/self/status in kB ("VmRSS", "VmHWM", "VmSize"), -1 if absent.
long statusKiB(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    const std::size_t length = std::strlen(field);
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') value = std::atol(line + length + 1);
    }
    std::fclose(status);
    return value;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written <= 0) return false;
        at += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// What the child sends back, followed by two words per node selected (the
// node's and the attribute's pointers, valid in the parent: same tree, same
// addresses).
struct ChildReport {
    double ms = 0;
    double grownMB = 0;       // VmHWM at the end minus VmRSS at the start
    bool outOfMemory = false; // std::bad_alloc under kChildAddressSpace
    xades::XPathOutcome outcome;
    std::uint64_t count = 0;
};

struct Measured {
    enum State { Answered, TimedOut, OutOfMemory, Failed } state = Failed;
    ChildReport report;
    std::vector<std::uintptr_t> nodes;  // node, attribute, node, attribute...
};

// Runs `evaluate` in a child, killed after `timeoutSeconds`; `collect` puts
// what it selected into the words sent back, after the peak has been read.
Measured measureInChild(const std::function<xades::XPathOutcome()>& evaluate,
                        const std::function<void(std::vector<std::uintptr_t>*)>& collect, int timeoutSeconds) {
    Measured measured;
    int fds[2];
    if (::pipe(fds) != 0) return measured;
    std::fflush(stdout);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return measured;
    }
    if (pid == 0) {
        ::close(fds[0]);
        ChildReport report;
        rlimit cap{};
        cap.rlim_cur = cap.rlim_max = static_cast<rlim_t>(statusKiB("VmSize")) * 1024 + kChildAddressSpace;
        ::setrlimit(RLIMIT_AS, &cap);
        // Freed heap pages the parent still has resident would take the first
        // allocations without any growth showing.
        ::malloc_trim(0);
        const long before = statusKiB("VmRSS");
        const int clear = ::open("/proc/self/clear_refs", O_WRONLY);
        if (clear >= 0) {
            writeAll(clear, "5", 1);  // the peak starts again from what is resident now
            ::close(clear);
        }
        const Clock::time_point start = Clock::now();
        try {
            report.outcome = evaluate();
        } catch (const std::bad_alloc&) {
            report.outOfMemory = true;
        }
        report.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        report.grownMB = static_cast<double>(statusKiB("VmHWM") - before) / 1024;
        std::vector<std::uintptr_t> words;
        if (!report.outOfMemory) collect(&words);
        report.count = words.size() / 2;
        const bool sent = writeAll(fds[1], &report, sizeof report) &&
                          writeAll(fds[1], words.data(), words.size() * sizeof(std::uintptr_t));
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    std::string data;
    bool timedOut = false;
    for (char chunk[65536];;) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd ready{fds[0], POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) == 0) {
            timedOut = true;
            break;
        }
        const ssize_t got = ::read(fds[0], chunk, sizeof chunk);
        if (got <= 0) break;
        data.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (timedOut) {
        measured.state = Measured::TimedOut;
        return measured;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || data.size() < sizeof(ChildReport)) return measured;
    std::memcpy(&measured.report, data.data(), sizeof(ChildReport));
    measured.nodes.resize((data.size() - sizeof(ChildReport)) / sizeof(std::uintptr_t));
    std::memcpy(measured.nodes.data(), data.data() + sizeof(ChildReport), measured.nodes.size() * sizeof(std::uintptr_t));
    measured.state = measured.report.outOfMemory ? Measured::OutOfMemory : Measured::Answered;
    return measured;
}

void collectNodes(const std::vector<pugi::xpath_node>& nodes, std::vector<std::uintptr_t>* words) {
    words->reserve(2 * nodes.size());
    for (const pugi::xpath_node& n : nodes) {
        words->push_back(reinterpret_cast<std::uintptr_t>(n.node().internal_object()));
        words->push_back(reinterpret_cast<std::uintptr_t>(n.attribute().internal_object()));
    }
}

// The names selected, runs of one name counted: "p x1249894, a"; "-" for none.
std::string namesOf(const std::vector<std::uintptr_t>& words) {
    std::string names, last;
    std::size_t run = 0;
    const auto flush = [&] {
        if (run == 0) return;
        if (!names.empty()) names += ", ";
        names += last.size() > 20 ? last.substr(0, 17) + "..." : last;
        if (run > 1) names += " x" + std::to_string(run);
    };
    for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
        auto* const attribute = reinterpret_cast<pugi::xml_attribute_struct*>(words[i + 1]);
        const std::string name = attribute ? "@" + std::string(pugi::xml_attribute(attribute).name())
                                           : std::string(pugi::xml_node(reinterpret_cast<pugi::xml_node_struct*>(words[i])).name());
        if (run > 0 && name == last) {
            ++run;
            continue;
        }
        flush();
        last = name;
        run = 1;
    }
    flush();
    return names.empty() ? "-" : names;
}

// The median time of up to kRuns runs of `run`, counting those in `ms`
// already taken; a run over a second is not repeated (pugixml takes minutes
// on some forms over the deep shape). Three are enough to drop an outlier.
const std::size_t kRuns = 3;
template <typename Run>
double medianMs(const Run& run, int* runs, std::vector<double> ms = {}) {
    while (ms.size() < kRuns && (ms.empty() || ms.back() < 1000)) {
        const Clock::time_point start = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    *runs = static_cast<int>(ms.size());
    std::sort(ms.begin(), ms.end());
    return ms[(ms.size() - 1) / 2];
}

// pugixml's time on a form: a first run in a child, killed after
// `timeoutSeconds` (it needs minutes for //*//*//* over the deep shape); when
// that run took under a second, the median of it and 2 runs here. The nodes
// come from the child.
struct TheirForm {
    Measured first;
    double ms = 0;
    int runs = 0;
};
// pugixml's select_nodes in document order, run once in a child killed after
// `timeoutSeconds`, its nodes sent back.
Measured pugixmlInChild(const pugi::xml_document& document, const std::string& xpath, int timeoutSeconds) {
    pugi::xpath_node_set selected;
    return measureInChild(
        [&] {
            selected = document.select_nodes(xpath.c_str());
            selected.sort();
            return xades::XPathOutcome();
        },
        [&](std::vector<std::uintptr_t>* words) {
            collectNodes(std::vector<pugi::xpath_node>(selected.begin(), selected.end()), words);
        },
        timeoutSeconds);
}
TheirForm pugixmlOnForm(const pugi::xml_document& document, const std::string& xpath, int timeoutSeconds) {
    TheirForm theirs;
    theirs.first = pugixmlInChild(document, xpath, timeoutSeconds);
    if (theirs.first.state != Measured::Answered) return theirs;
    pugi::xpath_node_set expected;
    theirs.ms = medianMs([&] { expected = document.select_nodes(xpath.c_str()); expected.sort(); }, &theirs.runs,
                         {theirs.first.report.ms});
    return theirs;
}

// The forms callers write and the nested count()s. What ours selects or
// where it stops is printed beside each row; the exit status is 1 when a row
// is wrong (other nodes than pugixml's, a form stopped, a nested count()
// completed) or pugixml's child crashed, leaving the row without its
// figure, and 2 when a generated document does not parse.
int formRows(int size, int timeoutSeconds) {
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

    std::printf("\nXPaths: selectByXPath against pugixml's select_nodes (median of %zu runs each)\n", kRuns);
    for (int f = 0; f < formCount + costlyCount; ++f) {
        std::printf("  %c%-2d %s\n", f < formCount ? 'F' : 'C', (f < formCount ? f : f - formCount) + 1,
                    f < formCount ? forms[f] : costly[f - formCount]);
    }
    std::printf("  (C: ours only, pugixml would take hours; *: one run, it took over a second; pugixml's first\n"
                "   run is in a child killed after %d s; work %%: the work ours counted, in %% of the allowance;\n"
                "   ms/1000: ours per 1,000 elements)\n",
                timeoutSeconds);
    std::printf("\n  %-5s %8s %5s %11s %12s %7s %9s %9s %8s %9s\n", "shape", "elements", "XPath", "ours (ms)",
                "pugixml (ms)", "ratio", "ours sel.", "pugi sel.", "work %", "ms/1000");
    int status = 0, flagged = 0;
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
                xades::XPathOutcome outcome;
                int ourRuns = 0;
                const double ours = medianMs([&] { outcome = xades::selectByXPath(document, xpath, allowance, &nodes); }, &ourRuns);
                const std::string selected = outcome.completed ? std::to_string(nodes.size()) : "stopped";
                const double share = 100.0 * static_cast<double>(outcome.work) / static_cast<double>(allowance.work);
                if (!form) {
                    std::printf("  %-5s %8d C%-4d %10.3f%c %12s %7s %9s %9s %8.1f %9.4f%s\n", deep ? "deep" : "flat", n,
                                f - formCount + 1, ours, ourRuns < int(kRuns) ? '*' : ' ', "-", "-", selected.c_str(), "-", share,
                                ours * 1000 / n, outcome.completed ? "  COMPLETED" : "");
                    if (outcome.completed) ++flagged;
                    continue;
                }
                const TheirForm theirs = pugixmlOnForm(document, xpath, timeoutSeconds);
                char theirMs[32], ratio[32] = "-", theirSelected[32];
                std::string flag;
                if (theirs.first.state == Measured::Answered) {
                    std::snprintf(theirMs, sizeof theirMs, "%11.3f%c", theirs.ms, theirs.runs < int(kRuns) ? '*' : ' ');
                    std::snprintf(ratio, sizeof ratio, "%.2f", ours / theirs.ms);
                    std::snprintf(theirSelected, sizeof theirSelected, "%zu", theirs.first.nodes.size() / 2);
                    std::vector<std::uintptr_t> ourWords;
                    collectNodes(nodes, &ourWords);
                    if (ourWords != theirs.first.nodes) flag = outcome.completed ? "  DIFFERENT NODES" : "  STOPPED";
                } else if (theirs.first.state == Measured::TimedOut) {
                    std::snprintf(theirMs, sizeof theirMs, "%11s ", (">" + std::to_string(timeoutSeconds) + " s").c_str());
                    std::snprintf(theirSelected, sizeof theirSelected, "killed");
                    if (!outcome.completed) flag = "  STOPPED";
                } else {
                    std::snprintf(theirMs, sizeof theirMs, "%11s ", "-");
                    std::snprintf(theirSelected, sizeof theirSelected, "%s",
                                  theirs.first.state == Measured::OutOfMemory ? "no memory" : "failed");
                    if (theirs.first.state == Measured::Failed) status = 1;
                    if (!outcome.completed) flag = "  STOPPED";
                }
                std::printf("  %-5s %8d F%-4d %10.3f%c %s %7s %9s %9s %8.1f %9.4f%s\n", deep ? "deep" : "flat", n, f + 1,
                            ours, ourRuns < int(kRuns) ? '*' : ' ', theirMs, ratio, selected.c_str(), theirSelected, share,
                            ours * 1000 / n, flag.c_str());
                if (!flag.empty()) ++flagged;
                std::fflush(stdout);
            }
            std::printf("  %-5s %8d  %zu bytes, allowance %llu\n", deep ? "deep" : "flat", n, text.size(),
                        static_cast<unsigned long long>(allowance.work));
        }
    }
    if (flagged) {
        std::printf("\n  WRONG: %d row(s) flagged above: ours selects other nodes than pugixml, stops on a form\n"
                    "  callers write, or completes a nested count()\n",
                    flagged);
        status = 1;
    }
    return status;
}

// ---- hostile texts ---------------------------------------------------------

// Runs of one character longer than 12 written as c{count}: the XPaths below
// hold names of 4,000 bytes.
std::string shortened(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t j = i;
        while (j < text.size() && text[j] == text[i]) ++j;
        out += j - i > 12 ? std::string(1, text[i]) + "{" + std::to_string(j - i) + "}" : text.substr(i, j - i);
        i = j;
    }
    return out;
}

// 1: a search for 'a' x P followed by 'b' in 'a' x L (P = L / 10), which a
// search that restarts at each byte makes L x P; 2: x's bytes looked up in a
// translate() 'from' of P bytes that holds none of them.
std::size_t searchedLength(std::size_t bytes) { return std::max<std::size_t>(20, (bytes - 24) / 2); }
std::string searchedDocument(std::size_t bytes) {
    const std::size_t length = searchedLength(bytes);
    return "<r><y>" + std::string(length, 'a') + "</y><x>" + std::string(length, 'b') + "</x></r>";
}
std::string searchedPrefix(std::size_t bytes) {
    return "substring(y, 1, " + std::to_string(searchedLength(bytes) / 10) + ")";
}

// 3: A attributes on the root and A / 15 children <b/> that find their
// xml:lang, if any, among them: children x attributes for an evaluator that
// looks each time (300,000 attributes and 20,000 children took 37 s).
std::string attributedDocument(std::size_t bytes) {
    const std::size_t attributes = std::max<std::size_t>(15, bytes * 10 / 113);
    std::string text = "<r";
    for (std::size_t i = 0; i < attributes; ++i) text += " a" + std::to_string(i) + "=\"\"";
    text += ">";
    for (std::size_t i = 0; i < attributes / 15; ++i) text += "<b/>";
    return text + "</r>";
}

// 4: E children named 'n' x 3,999 then 'x'; the XPath asks, for each, for
// its parent's children named 'n' x 3,999 then 'y': E x E name tests of
// 4,000 bytes each.
const std::string kLongName = std::string(3999, 'n');
std::string longNamesDocument(std::size_t bytes) {
    const std::size_t elements = std::max<std::size_t>(2, bytes / (kLongName.size() + 4));
    std::string text = "<r>";
    for (std::size_t i = 0; i < elements; ++i) text += "<" + kLongName + "x/>";
    return text + "</r>";
}

// 5: nested <e> with 3,600 bytes of text each: the string value of the k-th
// from the bottom is k x 3,600 bytes, all of them together levels^2 x 1,800.
std::string nestedDocument(std::size_t bytes) {
    const std::size_t levels = std::max<std::size_t>(2, bytes / 3607);
    const std::string text(3600, 'c');
    std::string out = "<r>";
    for (std::size_t i = 0; i < levels; ++i) out += "<e>" + text;
    for (std::size_t i = 0; i < levels; ++i) out += "</e>";
    return out + "</r>";
}

// 6: numbers past the double range among many small ones: each side reads
// 1 followed by 400 zeros as it reads it, and what is selected shows it.
std::string numbersDocument(std::size_t bytes) {
    const std::size_t padding = bytes > 1000 ? (bytes - 840) / 8 : 1;
    std::string text = "<r>";
    for (std::size_t i = 0; i < padding; ++i) text += "<p>3</p>";
    const std::string zeros(400, '0');
    return text + "<a>1" + zeros + "</a><b>2</b><c>-1" + zeros + "</c></r>";
}

// 7: chains of 990 nested <a> side by side, where the following and
// preceding axes climb and descend a whole chain for each node they hand on;
// and a long run of siblings, for the sibling axes.
std::string chainsDocument(std::size_t bytes) {
    const std::size_t depth = 990, chains = std::max<std::size_t>(2, bytes / (7 * depth));
    std::string chain;
    for (std::size_t i = 0; i < depth; ++i) chain += "<a>";
    for (std::size_t i = 0; i < depth; ++i) chain += "</a>";
    std::string text = "<r>";
    for (std::size_t i = 0; i < chains; ++i) text += chain;
    return text + "</r>";
}
std::string siblingsDocument(std::size_t bytes) {
    std::string text = "<r>";
    for (std::size_t i = 0; i < bytes / 4; ++i) text += "<a/>";
    return text + "<b/></r>";
}

// 8: string work over a long run of one byte: searches with a pattern that
// almost matches, and translate() and normalize-space() of a long literal.
const std::string kRunLiteral = "'" + std::string(200000, 'A') + "'";
std::string fewUsesOfText(std::size_t bytes) {
    return "<r><t>" + std::string(bytes > 600 ? bytes - 500 : 100, 'A') + "</t>" + corvane::bench::times("<a/>", 90) + "</r>";
}
std::string manyUsesOfText(std::size_t bytes) {
    return "<r><t>" + std::string(bytes / 2, 'A') + "</t>" + corvane::bench::times("<a/>", bytes / 8) + "</r>";
}

struct HostileXPath {
    const char* label;
    std::string (*document)(std::size_t bytes);
    std::function<std::string(std::size_t bytes)> xpath;
    std::string shown;  // when the text itself is too long to print
};

std::vector<HostileXPath> hostileXPaths() {
    std::string concat = "/r[string-length(concat(/";
    for (int i = 1; i < 60; ++i) concat += ", /";
    concat += ")) > 0]";
    return {
        {"H1a", searchedDocument,
         [](std::size_t bytes) { return "/r[contains(y, concat(" + searchedPrefix(bytes) + ", 'b'))]"; }, ""},
        {"H1b", searchedDocument,
         [](std::size_t bytes) { return "/r[substring-before(y, concat(" + searchedPrefix(bytes) + ", 'b')) = '']"; }, ""},
        {"H1c", searchedDocument,
         [](std::size_t bytes) { return "/r[substring-after(y, concat(" + searchedPrefix(bytes) + ", 'b')) = '']"; }, ""},
        {"H2", searchedDocument,
         [](std::size_t bytes) { return "/r[string-length(translate(x, " + searchedPrefix(bytes) + ", '')) = 0]"; }, ""},
        {"H3", attributedDocument, [](std::size_t) { return std::string("/r[b[lang('en')]]"); }, ""},
        {"H4", longNamesDocument,
         [](std::size_t) { return "/r[count(*[count(../" + kLongName + "y) = 0]) > 0]"; }, ""},
        {"H5a", nestedDocument, [](std::size_t) { return std::string("/r[//e = //e]"); }, ""},
        {"H5b", nestedDocument, [concat](std::size_t) { return concat; },
         "/r[string-length(concat(/, /, ... 60 times)) > 0]"},
        {"H6a", numbersDocument, [](std::size_t) { return std::string("/r/*[. > 2]"); }, ""},
        {"H6b", numbersDocument, [](std::size_t) { return std::string("/r/*[. < -2]"); }, ""},
        {"H6c", numbersDocument, [](std::size_t) { return std::string("/r/*[. * 0 = 0]"); }, ""},
        {"H7a", chainsDocument, [](std::size_t) { return std::string("/r[count(//*[following::*]) > 1]"); }, ""},
        {"H7b", chainsDocument, [](std::size_t) { return std::string("/r[count(//*[preceding::*]) > 1]"); }, ""},
        {"H7c", chainsDocument, [](std::size_t) { return std::string("/r[count(//a/preceding::*[1]) > 1]"); }, ""},
        {"H7d", chainsDocument, [](std::size_t) { return std::string("/r[count(//a/following::*[1]) > 1]"); }, ""},
        {"H7e", chainsDocument, [](std::size_t) { return std::string("/r[count(//a[.//a[preceding::*]]) > 1]"); }, ""},
        {"H7f", chainsDocument, [](std::size_t) { return std::string("/r[count(//a[ancestor::r]) > 1]"); }, ""},
        {"H7g", siblingsDocument, [](std::size_t) { return std::string("/r[count(//a[following-sibling::b]) > 1]"); }, ""},
        {"H7h", siblingsDocument, [](std::size_t) { return std::string("/r[count(//a[preceding-sibling::b]) > 1]"); }, ""},
        {"H8a", fewUsesOfText, [](std::size_t) { return std::string("/r[count(//a[not(contains(/r/t, 'AAx'))]) > 1]"); }, ""},
        {"H8b", fewUsesOfText,
         [](std::size_t) { return std::string("/r[count(//a[substring-before(/r/t, 'AAx') = '']) > 1]"); }, ""},
        {"H8c", manyUsesOfText, [](std::size_t) { return std::string("/r[count(//a[not(contains(/r/t, 'AAx'))]) > 1]"); }, ""},
        {"H8d", siblingsDocument,
         [](std::size_t) { return "/r[count(//a[not(contains(" + kRunLiteral + ", 'AAx'))]) > 1]"; },
         "/r[count(//a[not(contains(L, 'AAx'))]) > 1], L = 'A' x 200,000"},
        {"H8e", siblingsDocument,
         [](std::size_t) { return "/r[count(//a[normalize-space(" + kRunLiteral + ") != 'x']) > 1]"; },
         "/r[count(//a[normalize-space(L) != 'x']) > 1]"},
        {"H8f", siblingsDocument,
         [](std::size_t) { return "/r[count(//a[translate(" + kRunLiteral + ", 'A', 'B') != 'x']) > 1]"; },
         "/r[count(//a[translate(L, 'A', 'B') != 'x']) > 1]"},
    };
}

// Ours stops within about a second on any of them: a child of ours still
// running after this long has gone wrong, and is killed.
const int kOurTimeoutSeconds = 60;

// The rows of the hostile texts, each on a document of about `size` bytes,
// and, with `tenths`, again on a tenth of it (down to 10 kB) while pugixml is
// killed. What ours selects, holds or fails to answer is printed beside each
// row; the exit status is 1 when a row is wrong (ours gives no answer,
// answers with other nodes than a pugixml that finished, or holds more than
// the memory allowance) or pugixml's child gives no report at all (it
// crashed, and the row has no figure), and 2 when a generated document does
// not parse.
int hostileRows(std::size_t size, int timeoutSeconds, bool tenths) {
    const std::vector<HostileXPath> xpaths = hostileXPaths();
    std::printf("\nHostile XPaths on documents of about %zu bytes: the time to answer or stop and the peak\n"
                "resident growth, each evaluation alone in a child process (pugixml's killed after %d s%s)\n",
                size, timeoutSeconds, tenths ? "; where it was, the row is run again on a tenth of the document" : "");
    for (const HostileXPath& x : xpaths) {
        std::printf("  %-4s %s\n", x.label, x.shown.empty() ? shortened(x.xpath(size)).c_str() : x.shown.c_str());
    }
    std::printf("  (outcome: ours answered or stopped, and by which allowance; work %%: the work ours counted,\n"
                "   mem %%: its peakBytes, in %% of the allowances; peak MB: the child's VmHWM less its VmRSS\n"
                "   before; the selection: element names, runs of one name counted)\n");
    std::printf("\n  %-4s %9s %10s %8s %-16s %7s %6s %13s %8s  %s\n", "", "bytes", "ours (ms)", "peak MB", "outcome",
                "work %", "mem %", "pugixml (ms)", "peak MB", "selected: ours | pugixml");
    int status = 0, flagged = 0;
    std::string builtFor;  // the label and size of the document held
    std::size_t builtSize = 0;
    pugi::xml_document document;
    std::size_t documentBytes = 0;
    for (const HostileXPath& x : xpaths) {
        for (std::size_t bytes = size;; bytes /= 10) {
            const std::string key = std::to_string(reinterpret_cast<std::uintptr_t>(x.document));
            if (builtFor != key || builtSize != bytes) {
                std::string text = x.document(bytes);
                document.reset();
                if (!document.load_buffer(text.data(), text.size(), pugi::parse_full | pugi::parse_ws_pcdata)) {
                    std::printf("  %-4s the generated document does not parse\n", x.label);
                    return 2;
                }
                documentBytes = text.size();
                builtFor = key;
                builtSize = bytes;
            }
            const std::string xpath = x.xpath(bytes);
            const xades::XPathAllowance allowance = xades::xpathAllowance(documentBytes);
            std::vector<pugi::xpath_node> ourNodes;
            const Measured ours = measureInChild(
                [&] { return xades::selectByXPath(document, xpath, allowance, &ourNodes); },
                [&](std::vector<std::uintptr_t>* words) { collectNodes(ourNodes, words); }, kOurTimeoutSeconds);
            const Measured theirs = pugixmlInChild(document, xpath, timeoutSeconds);

            const xades::XPathOutcome& outcome = ours.report.outcome;
            std::string ourOutcome = "failed";
            char ourMs[32] = "-", ourMB[32] = "-", work[32] = "-", memory[32] = "-";
            if (ours.state == Measured::Answered) {
                ourOutcome = outcome.completed ? "completed" : outcome.memoryExhausted ? "stopped: memory" : "stopped: work";
                std::snprintf(ourMs, sizeof ourMs, "%.1f", ours.report.ms);
                std::snprintf(ourMB, sizeof ourMB, "%.1f", ours.report.grownMB);
                std::snprintf(work, sizeof work, "%.1f", 100.0 * static_cast<double>(outcome.work) / static_cast<double>(allowance.work));
                std::snprintf(memory, sizeof memory, "%.1f",
                              100.0 * static_cast<double>(outcome.peakBytes) / static_cast<double>(allowance.memory));
            } else if (ours.state == Measured::TimedOut) {
                ourOutcome = "killed";
                std::snprintf(ourMs, sizeof ourMs, ">%d s", kOurTimeoutSeconds);
            } else if (ours.state == Measured::OutOfMemory) {
                ourOutcome = "out of memory";
            }
            char theirMs[32] = "-", theirMB[32] = "-";
            std::string theirSelection = "-";
            if (theirs.state == Measured::Answered || theirs.state == Measured::OutOfMemory) {
                std::snprintf(theirMs, sizeof theirMs, "%.1f", theirs.report.ms);
                std::snprintf(theirMB, sizeof theirMB, "%.1f", theirs.report.grownMB);
                theirSelection = theirs.state == Measured::Answered ? namesOf(theirs.nodes) : "out of memory";
            } else if (theirs.state == Measured::TimedOut) {
                std::snprintf(theirMs, sizeof theirMs, ">%d s", timeoutSeconds);
                theirSelection = "killed";
            } else {
                theirSelection = "failed";
            }
            const std::string ourSelection =
                ours.state != Measured::Answered ? ourOutcome : outcome.completed ? namesOf(ours.nodes) : "stopped";

            std::string flags;
            if (ours.state != Measured::Answered) flags += "  NO ANSWER FROM OURS";
            if (ours.state == Measured::Answered && outcome.completed && theirs.state == Measured::Answered &&
                ours.nodes != theirs.nodes) {
                flags += "  DIFFERENT NODES";
            }
            if (ours.state == Measured::Answered && outcome.peakBytes > allowance.memory) flags += "  OVER THE MEMORY ALLOWANCE";
            if (!flags.empty()) ++flagged;
            if (ours.state == Measured::Failed || theirs.state == Measured::Failed) status = 1;
            std::printf("  %-4s %9zu %10s %8s %-16s %7s %6s %13s %8s  %s | %s%s\n", x.label, documentBytes, ourMs, ourMB,
                        ourOutcome.c_str(), work, memory, theirMs, theirMB, ourSelection.c_str(), theirSelection.c_str(),
                        flags.c_str());
            std::fflush(stdout);
            if (!tenths || theirs.state != Measured::TimedOut || bytes / 10 < 10000) break;
        }
    }
    if (flagged) {
        std::printf("\n  WRONG: %d row(s) flagged above: ours gives no answer, selects other nodes than a pugixml\n"
                    "  that finished, or holds more than the memory allowance\n",
                    flagged);
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int size = 100000, timeoutSeconds = 0, calibrationRuns = 3;
    std::size_t hostileSize = 10000000, calibrationSize = 3600000;
    std::string only;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--size") == 0) size = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--hostile-size") == 0) hostileSize = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--pugixml-timeout") == 0) timeoutSeconds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--calibration-size") == 0) calibrationSize = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--calibration-runs") == 0) calibrationRuns = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--only") == 0) only = argv[++i];
    }
    if (!only.empty() && only != "calibration" && only != "forms" && only != "hostile") {
        std::printf("corvane-bench-xpath: --only takes calibration, forms or hostile, not \"%s\"\n", only.c_str());
        return 2;
    }
    bool longer = false;
    for (int i = 1; i < argc; ++i) longer = longer || std::strcmp(argv[i], "--long") == 0;
    if (timeoutSeconds == 0) timeoutSeconds = longer ? 30 : 2;
    int status = 0;
    if (only.empty() || only == "calibration") {
        // Non-zero where a row could not be measured (1) or a document does
        // not parse (2); an UNDERCHARGED row is printed, and leaves it 0.
        const int calibration = corvane::bench::calibrationRows(calibrationSize, calibrationRuns);
        status = std::max(status, calibration);
    }
    if (status != 2 && (only.empty() || only == "forms")) status = std::max(status, formRows(size, timeoutSeconds));
    if (status != 2 && (only.empty() || only == "hostile") && hostileSize > 0) {
        status = std::max(status, hostileRows(hostileSize, timeoutSeconds, longer));
    }
    return status;
}
