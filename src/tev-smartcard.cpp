#include "tev-smartcard.h"

#include "tev-commons.h"
#include "tev-logging.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace tev {
namespace smartcard {

using tev::logging::shownText;

pugi::xml_document configXMLDoc;

SmartCard::~SmartCard() = default;

namespace {

// Names used by the driver path lookup and the installed-driver list.
const char* driverOperatingSystemName(int operatingSystem) {
    switch (operatingSystem) {
    case 1: return "Windows_x86";
    case 2: return "Windows_x64";
    case 3:
    case 4: return "MacOSX_64";
    case 6: return "Linux_x64";
    default: return nullptr;
    }
}

// The digest and download-link entries were only ever published for the
// desktop platforms 1 to 4, so these lookups do not know Linux_x64.
const char* publishedOperatingSystemName(int operatingSystem) {
    switch (operatingSystem) {
    case 1: return "Windows_x86";
    case 2: return "Windows_x64";
    case 3:
    case 4: return "MacOSX_64";
    default: return nullptr;
    }
}

// A name that no document uses, so an unknown code matches nothing while the
// query still runs (and the caller logs its not-found line).
constexpr const char* kNoOperatingSystem = "\x01unknown";

pugi::xpath_node_set evaluateDriverQuery(const char* query, const char* library, const char* osName) {
    pugi::xpath_variable_set variables;
    variables.add("library", pugi::xpath_type_string);
    variables.add("operatingSystem", pugi::xpath_type_string);
    variables.set("library", library ? library : "");
    variables.set("operatingSystem", osName ? osName : kNoOperatingSystem);
    pugi::xpath_query compiled(query, &variables);
    return compiled.evaluate_node_set(configXMLDoc);
}

pugi::xpath_node_set evaluateCardTypeQuery(const std::string& atr) {
    pugi::xpath_variable_set variables;
    variables.add("atr", pugi::xpath_type_string);
    variables.set("atr", atr.c_str());
    pugi::xpath_query compiled("/smartcard-config//card-type[atr/@value = $atr]", &variables);
    return compiled.evaluate_node_set(configXMLDoc);
}

// The `path` attribute with every "{app}" replaced, made absolute.
QString resolveDriverPath(const pugi::xml_node& driver, const QString& applicationDirectory) {
    // pugixml hands attribute values out as UTF-8.
    QString path = QString::fromUtf8(driver.attribute("path").value());
    path.replace(QStringLiteral("{app}"), applicationDirectory);
    return QFileInfo(path).absoluteFilePath();
}

void logConfiguring() { LOG(INFO) << "SmartCard : " << "----- Configuring supported smart cards ----"; }

}  // namespace

int configure(const char* xmlText) {
    logConfiguring();
    // pugixml keeps the part of a tree it built before a parse error; a
    // half-read database must never answer lookups, so drop it.
    const pugi::xml_parse_result result = xmlText ? configXMLDoc.load_string(xmlText) : pugi::xml_parse_result();
    if (!xmlText || !result) {
        configXMLDoc.reset();
        return 1;
    }
    return 0;
}

int configure(const wchar_t* xmlFilePath) {
    logConfiguring();
    const pugi::xml_parse_result result = xmlFilePath ? configXMLDoc.load_file(xmlFilePath) : pugi::xml_parse_result();
    if (!xmlFilePath || !result) {
        configXMLDoc.reset();
        return 1;
    }
    const pugi::xpath_node_set atrs = configXMLDoc.select_nodes("/smartcard-config/card-types/card-type/atr");
    LOG(INFO) << "SmartCard : " << "Supported Smart Cards: " << atrs.size();
    for (const pugi::xpath_node& atr : atrs)
        LOG(INFO) << "SmartCard : " << "ATR: " << atr.node().attribute("value").value();
    return 0;
}

void findDriverPathOfLibrary(int operatingSystem, const char* library, QString* path) {
    const char* libraryName = library ? library : "";
    const pugi::xpath_node_set drivers =
        evaluateDriverQuery("/smartcard-config//library[@name = $library]/driver[@operatingSystem = $operatingSystem]",
                            libraryName, driverOperatingSystemName(operatingSystem));
    if (drivers.size() == 1) {
        const QString applicationDirectory = QCoreApplication::applicationDirPath();
        LOG(INFO) << "SmartCard : " << "Application Path: " << applicationDirectory.toStdString();
        const QString resolved = resolveDriverPath(drivers[0].node(), applicationDirectory);
        if (path)
            *path = resolved;
        LOG(INFO) << "SmartCard : " << "Driver path of library " << shownText(libraryName)
                  << " is: " << shownText(resolved.toStdString());
    } else if (drivers.empty()) {
        LOG(ERROR) << "SmartCard : " << "No driver path is defined for " << shownText(libraryName);
    }
}

void findDriverForATR(const std::string& atr, std::string* library) {
    const pugi::xpath_node_set cardTypes = evaluateCardTypeQuery(atr);
    if (cardTypes.size() == 1) {
        const std::string name = cardTypes[0].node().child("lib").attribute("name").value();
        if (library)
            *library = name;
        LOG(INFO) << "SmartCard : " << "Library for ATR " << atr << " is: " << name;
    } else if (cardTypes.empty()) {
        LOG(ERROR) << "SmartCard : " << "No library is defined for the ATR " << atr;
    }
}

void findCardTypeForATR(const std::string& atr, std::string* cardType) {
    const pugi::xpath_node_set cardTypes = evaluateCardTypeQuery(atr);
    if (cardTypes.size() == 1) {
        const std::string name = cardTypes[0].node().attribute("name").value();
        if (cardType)
            *cardType = name;
        LOG(INFO) << "SmartCard : " << "Cardtype for ATR " << atr << " is: " << name;
    } else if (cardTypes.empty()) {
        LOG(ERROR) << "SmartCard : " << "No card type is defined for the ATR " << atr;
    } else {
        LOG(ERROR) << "SmartCard : " << "Multiple card type definitions for the  ATR " << atr;
    }
}

void findDriverDigestSHA256OfLibrary(int operatingSystem, const char* library, std::string* digest) {
    const char* libraryName = library ? library : "";
    const pugi::xpath_node_set nodes = evaluateDriverQuery(
        "/smartcard-config//library[@name = $library]/driver[@operatingSystem = $operatingSystem]/digestSHA256",
        libraryName, publishedOperatingSystemName(operatingSystem));
    if (nodes.size() == 1) {
        const std::string value = nodes[0].node().text().get();
        if (digest)
            *digest = value;
        LOG(INFO) << "SmartCard : " << "digest of library " << shownText(libraryName) << " is: " << value;
    } else if (nodes.empty()) {
        LOG(ERROR) << "SmartCard : " << "No digest is defined for " << shownText(libraryName);
    }
}

void findDownloadLinkOfLibrary(int operatingSystem, const char* library, std::string* link) {
    const char* libraryName = library ? library : "";
    const pugi::xpath_node_set nodes = evaluateDriverQuery(
        "/smartcard-config//library[@name = $library]/driver[@operatingSystem = $operatingSystem]/downloadLink",
        libraryName, publishedOperatingSystemName(operatingSystem));
    if (nodes.size() == 1) {
        const std::string value = nodes[0].node().text().get();
        if (link)
            *link = value;
        LOG(INFO) << "SmartCard : " << "download link of library " << shownText(libraryName) << " is: " << value;
    } else if (nodes.empty()) {
        LOG(ERROR) << "SmartCard : " << "No download link is defined for " << shownText(libraryName);
    }
}

void listInstalledSmartCardDrivers(std::vector<SmartCard>* drivers) {
    pugi::xpath_variable_set variables;
    variables.add("operatingSystem", pugi::xpath_type_string);
    const char* osName = driverOperatingSystemName(getOperatingSystem());
    variables.set("operatingSystem", osName ? osName : kNoOperatingSystem);
    pugi::xpath_query query("/smartcard-config//library/driver[@operatingSystem = $operatingSystem]", &variables);
    const pugi::xpath_node_set nodes = query.evaluate_node_set(configXMLDoc);

    const QString applicationDirectory = QCoreApplication::applicationDirPath();
    LOG(INFO) << "SmartCard : " << "Application Path: " << applicationDirectory.toStdString();
    LOG(INFO) << "SmartCard : " << "------> Number of drivers being checked: " << nodes.size();

    for (const pugi::xpath_node& node : nodes) {
        SmartCard record;
        record.libraryName = node.node().parent().attribute("name").value();
        const QString path = resolveDriverPath(node.node(), applicationDirectory);
        LOG(INFO) << "SmartCard : " << "Checking driver " << record.libraryName << " at path " << path.toStdString();
        if (QFileInfo::exists(path)) {
            LOG(INFO) << "SmartCard : " << "Driver " << record.libraryName << " is installed";
            record.driverPath = path.toStdString();
            record.driverPathWide = path.toStdWString();
            if (drivers)
                drivers->push_back(std::move(record));
        } else {
            LOG(INFO) << "SmartCard : " << "Driver " << record.libraryName << " is not installed";
        }
    }
}

}  // namespace smartcard
}  // namespace tev
