// Small well-formed documents made at random from a seed, rich in what makes
// canonical forms differ: namespaces declared, rebound and undeclared at every
// level, inherited xml:* attributes, every kind of line end (literal and as a
// reference) in text, attribute values, comments, CDATA sections and
// processing instructions, byte-order marks, DOCTYPEs with internal subsets,
// and the signature placed at any element, signing the whole document or an
// element by its Id. Now and then a document breaks one of the signer's own
// rules (an "&" in a namespace name, a relative one, an entity or attribute
// list declaration) and says so, or a namespace rule both parsers enforce.
#pragma once

#include "xml-verdict-scenario.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace corvane {
namespace test {

class XmlGenerator {
public:
    explicit XmlGenerator(unsigned seed) : random_(seed) {}

    XmlVerdictCase next(int number) {
        text_.clear();
        elements_.clear();
        idElements_.clear();
        ownRule_ = nullptr;
        nextId_ = 0;
        if (chance(10)) text_ += "\xEF\xBB\xBF";
        if (chance(60)) {
            text_ += "<?xml version=\"1.0\"";
            if (chance(50)) text_ += " encoding=\"UTF-8\"";
            if (chance(20)) text_ += " standalone=\"yes\"";
            text_ += "?>";
        }
        miscellany();
        const std::size_t doctypeAt = chance(25) ? text_.size() : std::string::npos;
        miscellany();
        std::map<std::string, std::string> scope;
        const std::string rootName = element(0, scope, "", nullptr);
        miscellany();
        if (doctypeAt != std::string::npos) text_.insert(doctypeAt, doctype(rootName));

        XmlVerdictCase c;
        c.what = "generated document " + std::to_string(number);
        c.document = QByteArray::fromStdString(text_);
        c.ownRule = ownRule_;
        c.ownCode = ownRule_ ? "51" : nullptr;
        c.signatureXPath = QString::fromStdString(elements_[pick(static_cast<int>(elements_.size()))]);
        if (nextId_ > 0 && chance(50)) {
            c.nodeXPath = QString("//*[@Id='id%1']").arg(pick(nextId_));
            c.idElements = idElements_;
        }
        return c;
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool chance(int percent) { return pick(100) < percent; }
    template <std::size_t N>
    const char* oneOf(const char* const (&choices)[N]) { return choices[pick(static_cast<int>(N))]; }

    void breaks(const char* rule) {
        if (!ownRule_) ownRule_ = rule;
    }

    std::string pieces(const char* const* choices, int count, int most) {
        std::string out;
        for (int i = pick(most + 1); i > 0; --i) out += choices[pick(count)];
        return out;
    }

    std::string lineEnd() {
        static const char* const ends[] = {"\n", "\r\n", "\r", " ", "\t\r\n"};
        return oneOf(ends);
    }

    std::string comment() {
        static const char* const bits[] = {"c", " ", "\n", "\r\n", "\r", "\t", "\xC3\xA9", "<", "&", ">", "]]>"};
        return "<!--" + pieces(bits, 11, 5) + "x-->";
    }

    std::string processingInstruction() {
        static const char* const targets[] = {"pi", "p-x", "tgt.a"};
        static const char* const bits[] = {"x", " ", "\n", "\r\n", "\r", "\t", "a=\"1\"", "?", ">", "\xC3\xA9", "\r\r\n"};
        std::string data = pieces(bits, 11, 6);
        for (std::size_t at; (at = data.find("?>")) != std::string::npos;) data.replace(at, 2, "? >");
        std::string out = std::string("<?") + oneOf(targets);
        static const char* const separators[] = {" ", " ", "\t", "\r\n", "\r", "\n"};
        if (!data.empty() || chance(30)) out += oneOf(separators) + data;
        return out + "?>";
    }

    void miscellany() {
        for (int i = pick(3); i > 0; --i) {
            switch (pick(3)) {
                case 0: text_ += lineEnd(); break;
                case 1: text_ += comment(); break;
                default: text_ += processingInstruction(); break;
            }
        }
    }

    std::string doctype(const std::string& rootName) {
        std::string out = "<!DOCTYPE " + rootName;
        if (chance(80)) {
            out += " [" + lineEnd();
            for (int i = pick(4); i > 0; --i) {
                switch (pick(6)) {
                    case 0: out += "<!ELEMENT e" + std::to_string(i) + " ANY>"; break;
                    case 1: out += comment(); break;
                    case 2: out += processingInstruction(); break;
                    case 3: out += "<!NOTATION n" + std::to_string(i) + " SYSTEM \"urn:n\">"; break;
                    case 4:
                        if (chance(15)) {
                            out += "<!ATTLIST e a CDATA \"d\">";
                            breaks("no attribute list declarations");
                        }
                        break;
                    default:
                        if (chance(15)) {
                            out += "<!ENTITY x \"y\">";
                            breaks("no entity declarations");
                        }
                        break;
                }
                out += lineEnd();
            }
            out += "]";
        }
        return out + ">" + lineEnd();
    }

    std::string namespaceName() {
        static const char* const names[] = {"urn:x", "http://e.com/a", "urn:y#z", "http://e.com/%41/b?c=d",
                                            "urn:x", "http://www.w3.org/2000/09/xmldsig#"};
        if (chance(1)) {
            breaks("no & in namespace names");
            return chance(50) ? "http://e.com/?a=1&amp;b=2" : "urn:a&#38;b";
        }
        if (chance(1)) {
            breaks("absolute namespace names only");
            return "rel/x";
        }
        return oneOf(names);
    }

    std::string attributeValue() {
        static const char* const bits[] = {"v",     " ",     "\t",    "\n",    "\r\n", "\r",     "&#13;",     "&#10;",
                                           "&#9;",  "&amp;", "&lt;",  "&gt;",  ">",    "'",      "&quot;",    "\xC3\xA9",
                                           "&#xD;", "\r\r",  "&#32;", "\n\r",  "]]>",  "&#x85;", "\xE2\x80\xA8"};
        return pieces(bits, 23, 5);
    }

    std::string textContent() {
        static const char* const bits[] = {"t",     " ",     "\n",    "\r\n",  "\r",   "\t",    "&#13;", "&#10;",
                                           "&#9;",  "&amp;", "&lt;",  "&gt;",  ">",    "\"",    "'",     "\xC3\xA9",
                                           "&#xD;", "\r\r",  "\n\r",  "&#38;", "&#60;", "&#x85;"};
        return pieces(bits, 22, 5);
    }

    std::string cdata() {
        static const char* const bits[] = {"d", "\r\n", "\r", "\n", "<", "&", "]", "]]", ">", "\t", "&amp;"};
        std::string data = pieces(bits, 11, 5);
        for (std::size_t at; (at = data.find("]]>")) != std::string::npos;) data.replace(at, 3, "]] >");
        if (!data.empty() && data.back() == ']') data += ' ';  // "]]]>" would end it early
        return "<![CDATA[" + data + "]]>";
    }

    // Writes one element with its subtree and returns its qualified name.
    // `parentPath` is the XPath of its parent; `seen` counts the parent's
    // children by name (null for the root).
    std::string element(int depth, std::map<std::string, std::string> scope, const std::string& parentPath,
                        std::map<std::string, int>* seen) {
        static const char* const prefixes[] = {"p", "q", "r"};
        static const char* const locals[] = {"e", "f"};
        std::string declarations;
        if (chance(30)) {
            const bool undeclare = chance(25);
            const std::string name = undeclare ? "" : namespaceName();
            declarations += " xmlns=\"" + name + "\"";
            scope[""] = name;
        }
        for (int i = pick(3) == 0 ? 1 + pick(2) : 0; i > 0; --i) {
            const std::string prefix = oneOf(prefixes);
            if (declarations.find(" xmlns:" + prefix + "=") != std::string::npos) continue;
            const std::string name = namespaceName();
            declarations += " xmlns:" + prefix + "=\"" + name + "\"";
            scope[prefix] = name;
        }
        std::vector<std::string> bound;
        for (const auto& binding : scope) {
            if (!binding.first.empty()) bound.push_back(binding.first);
        }
        std::string prefix;
        if (!bound.empty() && chance(50)) prefix = bound[static_cast<std::size_t>(pick(static_cast<int>(bound.size())))];
        if (chance(1)) prefix = "u";  // unbound: both parsers refuse
        const std::string local = oneOf(locals);
        const std::string name = prefix.empty() ? local : prefix + ":" + local;

        std::string attributes;
        std::vector<std::string> names;
        auto addAttribute = [&](const std::string& attribute) {
            for (const std::string& n : names)
                if (n == attribute) return;
            names.push_back(attribute);
            attributes += " " + attribute + "=\"" + attributeValue() + "\"";
        };
        for (int i = pick(4); i > 0; --i) {
            switch (pick(5)) {
                case 0: addAttribute(chance(50) ? "a" : "b"); break;
                case 1:
                    if (!bound.empty()) {
                        addAttribute(bound[static_cast<std::size_t>(pick(static_cast<int>(bound.size())))] + ":" +
                                     (chance(50) ? "a" : "b"));
                    }
                    break;
                case 2: addAttribute("xml:lang"); break;
                case 3:
                    if (std::find(names.begin(), names.end(), "xml:space") == names.end()) {
                        names.push_back("xml:space");
                        attributes += chance(50) ? " xml:space=\"preserve\"" : " xml:space='default'";
                    }
                    break;
                default: addAttribute(chance(50) ? "xml:base" : "xml:x"); break;
            }
        }
        if (chance(25)) {
            attributes += " Id=\"id" + std::to_string(nextId_++) + "\"";
            const auto uri = scope.find(prefix);
            idElements_ << QString::fromStdString(uri != scope.end() && !uri->second.empty()
                                                      ? uri->second + ":" + local
                                                      : local);
        }
        // Declarations and attributes mixed, as documents have them.
        std::string all = chance(50) ? declarations + attributes : attributes + declarations;
        const std::string path = parentPath + "/" + name + (seen ? "[" + std::to_string(++(*seen)[name]) + "]" : "");
        elements_.push_back(path);

        text_ += "<" + name + all + (chance(20) ? lineEnd() : "");
        const int children = depth >= 4 ? pick(2) : pick(5);
        if (children == 0 && chance(50)) {
            text_ += "/>";
            return name;
        }
        text_ += ">";
        std::map<std::string, int> seen;
        for (int i = 0; i < children; ++i) {
            switch (depth >= 4 ? pick(4) : pick(6)) {
                case 0: text_ += textContent(); break;
                case 1: text_ += comment(); break;
                case 2: text_ += processingInstruction(); break;
                case 3: text_ += cdata(); break;
                default: element(depth + 1, scope, path, &seen); break;
            }
        }
        text_ += "</" + name + ">";
        return name;
    }

    std::mt19937 random_;
    std::string text_;
    std::vector<std::string> elements_;  // XPath of each element, in document order
    QStringList idElements_;
    const char* ownRule_ = nullptr;
    int nextId_ = 0;
};

}  // namespace test
}  // namespace corvane
