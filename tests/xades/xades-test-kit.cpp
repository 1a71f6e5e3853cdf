#include "xades-test-kit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <cstring>

namespace xadestest {

ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs) {
    ToolRun run;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) return run;
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

bool toolAvailable(const QString& program) { return !QStandardPaths::findExecutable(program).isEmpty(); }

std::string readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::string();
    return file.readAll().toStdString();
}

void writeFile(const QString& path, const std::string& content) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content.data(), static_cast<qint64>(content.size()));
    }
}

QStringList corpusFiles() {
    QDir dir(QString::fromUtf8(CORVANE_SOURCE_DIR) + "/tests/xades/corpus");
    QStringList files;
    for (const QString& name : dir.entryList({"*.xml"}, QDir::Files, QDir::Name)) files << dir.filePath(name);
    return files;
}

std::vector<std::string> xmlsecBuffers(const std::string& output, const std::string& what) {
    const std::string start = "== " + what + " data - start buffer:\n";
    const std::string end = "\n== " + what + " data - end buffer";
    std::vector<std::string> buffers;
    std::string::size_type at = 0;
    while ((at = output.find(start, at)) != std::string::npos) {
        at += start.size();
        const std::string::size_type stop = output.find(end, at);
        if (stop == std::string::npos) break;
        buffers.push_back(output.substr(at, stop - at));
        at = stop + end.size();
    }
    return buffers;
}

bool parseKeepingWhitespace(const std::string& text, pugi::xml_document* document) {
    return document->load_buffer(text.data(), text.size(), pugi::parse_full | pugi::parse_ws_pcdata,
                                 pugi::encoding_utf8);
}

std::string namespaceUriOf(const pugi::xml_node& element) {
    const std::string name = element.name();
    const std::string::size_type colon = name.find(':');
    const std::string wanted = colon == std::string::npos ? "xmlns" : "xmlns:" + name.substr(0, colon);
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
        const pugi::xml_attribute declaration = n.attribute(wanted.c_str());
        if (declaration) return declaration.value();
    }
    return std::string();
}

QString idAttrTarget(const pugi::xml_node& element) {
    const std::string name = element.name();
    const std::string::size_type colon = name.find(':');
    const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    const std::string uri = namespaceUriOf(element);
    return QString::fromStdString(uri.empty() ? local : uri + ":" + local);
}

namespace {
struct IdCollector : pugi::xml_tree_walker {
    std::vector<pugi::xml_node> found;
    bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && node.attribute("Id")) found.push_back(node);
        return true;
    }
};
}  // namespace

std::vector<pugi::xml_node> elementsWithId(const pugi::xml_node& root) {
    IdCollector collector;
    pugi::xml_node start = root;
    start.traverse(collector);
    if (root.type() == pugi::node_element && root.attribute("Id")) collector.found.insert(collector.found.begin(), root);
    return collector.found;
}

pugi::xml_node elementWithId(const pugi::xml_node& root, const std::string& id) {
    for (const pugi::xml_node& n : elementsWithId(root)) {
        if (id == n.attribute("Id").value()) return n;
    }
    return pugi::xml_node();
}

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace xadestest
