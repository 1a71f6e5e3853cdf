// Shared pieces of the XAdES tests: the document corpus, running xmllint and
// xmlsec1 (libxml2's Canonical XML is the reference), and reading what xmlsec1
// says it digested and signed.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace xadestest {

struct ToolRun {
    int exitCode = -1;  // -1: did not start or did not finish
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), at most `timeoutMs`.
ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs = 60000);
bool toolAvailable(const QString& program);

std::string readFile(const QString& path);
void writeFile(const QString& path, const std::string& content);

// The corpus documents (absolute paths, in name order).
QStringList corpusFiles();

// The texts xmlsec1 printed between its "== <what> data - start buffer:" and
// "== <what> data - end buffer" lines, in order ("PreDigest": one per
// reference; "PreSigned": the canonical SignedInfo).
std::vector<std::string> xmlsecBuffers(const std::string& output, const std::string& what);

// Parses with the options a verifier's view needs (everything, whitespace kept).
bool parseKeepingWhitespace(const std::string& text, pugi::xml_document* document);

// Namespace URI of an element's name, found by walking its ancestors' declarations.
std::string namespaceUriOf(const pugi::xml_node& element);
// The argument xmlsec1 --id-attr:Id takes for elements of this name.
QString idAttrTarget(const pugi::xml_node& element);

// Every element carrying an Id attribute, in document order.
std::vector<pugi::xml_node> elementsWithId(const pugi::xml_node& root);
pugi::xml_node elementWithId(const pugi::xml_node& root, const std::string& id);

// Lines feeds become CR LF (each corpus document is also read that way).
std::string withCrLf(const std::string& text);

}  // namespace xadestest
