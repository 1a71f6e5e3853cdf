// Card configuration database: the compiled-in document, the lookups and the
// loading rules.
#include "test-support.h"
#include "tev-resources.h"
#include "tev-smartcard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace sc = tev::smartcard;

namespace {

QByteArray compiledInDocument() {
    tev::resources::ensureRegistered();
    QFile file(QStringLiteral(":/new/rs/smartcard-config.xml"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool logHas(const std::string& text) { return corvane::test::readLog().find(text) != std::string::npos; }

std::string writeFile(const QString& name, const QByteArray& content) {
    const QString path = corvane::test::privateFolder() + "/" + name;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    return path.toStdString();
}

std::wstring wide(const std::string& path) { return QString::fromStdString(path).toStdWString(); }

class CardDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        const QByteArray document = compiledInDocument();
        ASSERT_FALSE(document.isEmpty());
        ASSERT_EQ(sc::configure(document.constData()), 0);
        corvane::test::clearLog();
    }
};

// Every ATR of the card table with the card type and library it belongs to.
const std::vector<std::pair<std::string, std::string>> kAtrTable = {
    {"3BF81800FF8131FE454A434F507632343143", "STARCOS"},
    {"3BF2180002C10A31FE58C80874", "STARCOS"},
    {"3BBA11008131FE4D55454B41452056312E30AE", "AKIS"},
    {"3B9F968131FE45806755454B41451112318073B3A180E9", "AKIS"},
    {"3B9F968131FE45806755454B41451212318073B3A180EA", "AKIS"},
    {"3B9F968131FE45806755454B41451213318073B3A180EB", "AKIS"},
    {"3B9F968131FE45806755454B41451252318073B3A180AA", "AKIS"},
    {"3B9F968131FE45806755454B41451253318073B3A180AB", "AKIS"},
    {"3B9F158131FE45806755454B41451221318073B3A1805A", "AKIS"},
    {"3B9F968131FE45806755454B41451221318073B3A180D9", "AKIS"},
    {"3B9F138131FE45806755454B41451221318073B3A1805C", "AKIS"},
    {"3B9F138131FE45806755454B41451261318073B3A1801C", "AKIS"},
    {"3B9F158131FE45806755454B41451261318073B3A1801A", "AKIS"},
    {"3B9F968131FE45806755454B41451261318073B3A18099", "AKIS"},
    {"3B9F968131FE458065544320201231C073F621808105B3", "AKIS"},
    {"3B9F968131FE45806755454B41451292318073B3A1806A", "AKIS"},
    {"3B9F968131FE45806755454B41451293318073B3A1806B", "AKIS"},
    {"3B9F968131FE45806755454B41451312318073B3A180EB", "AKIS"},
    {"3B9F968131FE45806755454B414512A4318073B3A1805C", "AKIS"},
    {"3B9F968131FE45806755454B414512A5318073B3A1805D", "AKIS"},
    {"3B9F978131FE458065544312210031C073F62180810593", "AKIS"},
    {"3B9F978131FE4580655443D2210831C073F6218081055B", "AKIS"},
    {"3B9F978131FE4580655443E4210831C073F6218081056D", "AKIS"},
    {"3B9F968131FE4580655443D2210831C073F6218081055A", "AKIS"},
    {"3B9F968131FE4580655443D3210831C073F6218081055B", "AKIS"},
    {"3B9F978131FE4580655443D3228231C073F621808105D3", "AKIS"},
    {"3B9F978131FE458065544313228231C073F62180810513", "AKIS"},
    {"3B9F978131FE4580655443D3230231C073F62180810552", "AKIS"},
    {"3B9F968131FE4580655443D3230231C073F62180810553", "AKIS"},
    {"3BD5180081313A7D8073C8211030", "ALADDIN"},
    {"3BD518008131FE7D8073C82110F4", "ALADDIN"},
    {"3B7F96000080318065B0846160FB120FFD829000", "ALADDIN"},
    {"3BFF1100008131FE4D8025A00000005657444B3333300600D0", "DATAKEY"},
    {"3B7D94000080318065B08301029083009000", "GEMPLUS"},
    {"3B6D000080318065B08301029083009000", "GEMPLUS"},
    {"3B6D00008065B08301019083009000", "GEMPLUS"},
    {"3BB79400C03E31FE6553504B32339000AE", "KEYCORP"},
    {"3BBB1800C01031FE4580670412B00303000081053C", "SAFESIGN"},
    {"3BFA1800FF8131FE454A434F5032315632333165", "SAFESIGN"},
};

std::string libraryOfCardType(const std::string& cardType) {
    static const std::map<std::string, std::string> libraries = {
        {"STARCOS", "aetpkss1"}, {"AKIS", "akisp11"}, {"ALADDIN", "eTPKCS11"}, {"DATAKEY", "dkck201"},
        {"GEMPLUS", "gclib"},    {"KEYCORP", "spmp1132"}, {"SAFESIGN", "aetpkss1"}};
    return libraries.at(cardType);
}

}  // namespace

TEST_F(CardDatabase, EveryAtrMapsToItsCardTypeAndLibrary) {
    ASSERT_EQ(kAtrTable.size(), 39u);
    for (const auto& [atr, cardType] : kAtrTable) {
        std::string library, type;
        sc::findDriverForATR(atr, &library);
        sc::findCardTypeForATR(atr, &type);
        EXPECT_EQ(type, cardType) << atr;
        EXPECT_EQ(library, libraryOfCardType(cardType)) << atr;
    }
    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("SmartCard : Library for ATR 3B9F968131FE4580655443D3230231C073F62180810553 is: akisp11"),
              std::string::npos);
    EXPECT_NE(log.find("SmartCard : Cardtype for ATR 3BBB1800C01031FE4580670412B00303000081053C is: SAFESIGN"),
              std::string::npos);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(CardDatabase, DocumentHoldsTheLibrariesCardTypesAndAtrsInOrder) {
    const std::vector<std::string> libraries = {"aetpkss1", "akisp11", "eTPKCS11", "dkck201",
                                                "gclib",    "spmp1132", "siecap11"};
    std::vector<std::string> found;
    for (const auto& node : sc::configXMLDoc.select_nodes("/smartcard-config/libraries/library"))
        found.push_back(node.node().attribute("name").value());
    EXPECT_EQ(found, libraries);

    const std::vector<std::string> cardTypes = {"AEPKEYPER", "STARCOS", "AKIS",    "ALADDIN", "ATIKKG",  "ATIKHSM",
                                                "CARDOS",    "DATAKEY", "GEMPLUS", "KEYCORP", "Net-ID",  "NCIPHER",
                                                "SAFENET",   "SAFESIGN", "SEFIROT", "TKART",  "UTIMACO", "UTIMACO_R2"};
    found.clear();
    for (const auto& node : sc::configXMLDoc.select_nodes("/smartcard-config/card-types/card-type"))
        found.push_back(node.node().attribute("name").value());
    EXPECT_EQ(found, cardTypes);

    // Two libraries for the HSM families, the first one being the one used.
    const auto atikhsm = sc::configXMLDoc.select_node("//card-type[@name='ATIKHSM']").node();
    EXPECT_STREQ(atikhsm.child("lib").attribute("name").value(), "uhsmpkcs11");
    EXPECT_STREQ(atikhsm.child("lib").attribute("arch").value(), "32");
    EXPECT_STREQ(atikhsm.child("lib").next_sibling("lib").attribute("name").value(), "uhsmpkcs11x64");
    EXPECT_EQ(sc::configXMLDoc.select_nodes("//driver[@operatingSystem='Linux_x64']").size(), 1u);

    // The file form lists the ATRs in document order.
    const std::string path = writeFile("config-copy.xml", compiledInDocument());
    corvane::test::clearLog();
    ASSERT_EQ(sc::configure(wide(path).c_str()), 0);
    const std::string log = corvane::test::readLog();
    EXPECT_NE(log.find("SmartCard : ----- Configuring supported smart cards ----"), std::string::npos);
    EXPECT_NE(log.find("SmartCard : Supported Smart Cards: 39"), std::string::npos);
    size_t position = 0;
    for (const auto& entry : kAtrTable) {
        const size_t next = log.find("SmartCard : ATR: " + entry.first, position);
        ASSERT_NE(next, std::string::npos) << entry.first << " missing or out of order";
        position = next;
    }
}

TEST_F(CardDatabase, AtrsAreComparedAsExactUpperCaseText) {
    for (const std::string atr : {"3b9f968131fe4580655443d3230231c073f62180810553",
                                  "3B 9F 96 81 31 FE 45 80 65 54 43 D3 23 02 31 C0 73 F6 21 80 81 05 53",
                                  "3B9F968131FE4580655443D3230231C073F621808105", ""}) {
        corvane::test::clearLog();
        std::string library, type;
        sc::findDriverForATR(atr, &library);
        sc::findCardTypeForATR(atr, &type);
        EXPECT_TRUE(library.empty());
        EXPECT_TRUE(type.empty());
        EXPECT_TRUE(logHas("ERROR [default] SmartCard : No library is defined for the ATR " + atr));
        EXPECT_TRUE(logHas("ERROR [default] SmartCard : No card type is defined for the ATR " + atr));
    }
}

TEST_F(CardDatabase, DriverPathsOfTheRunningAndOtherOperatingSystems) {
    QString path;
    sc::findDriverPathOfLibrary(6, "akisp11", &path);
    EXPECT_EQ(path, "/usr/bin/corvane/drivers/akis/x64/libakisp11.so");
    EXPECT_TRUE(logHas("SmartCard : Driver path of library akisp11 is: /usr/bin/corvane/drivers/akis/x64/libakisp11.so"));
    EXPECT_TRUE(logHas("SmartCard : Application Path: " + QCoreApplication::applicationDirPath().toStdString()));

    // "{app}" is the folder of the running program.
    path.clear();
    sc::findDriverPathOfLibrary(1, "aetpkss1", &path);
    EXPECT_EQ(path, QCoreApplication::applicationDirPath() + "/drivers/aetpkss1/windows_x86/aetpkss1.dll");

    path.clear();
    sc::findDriverPathOfLibrary(3, "akisp11", &path);
    EXPECT_EQ(path, "/usr/local/lib/libakisp11.dylib");
    path.clear();
    sc::findDriverPathOfLibrary(4, "gclib", &path);
    EXPECT_EQ(path, "/usr/local/lib/gclib.dylib");

    // "{windows}" has no meaning here; the relative path is resolved against
    // the working directory.
    path.clear();
    sc::findDriverPathOfLibrary(1, "eTPKCS11", &path);
    EXPECT_EQ(path, QDir::currentPath() + "/{windows}/System32/eTPKCS11.dll");

    // A library without a driver for the system, an unknown library and codes
    // without a name leave the output alone and say so.
    for (const auto& [code, library] : std::vector<std::pair<int, std::string>>{
             {6, "aetpkss1"}, {6, "nosuchlib"}, {2, "akisp11"}, {0, "akisp11"}, {5, "akisp11"}, {7, "akisp11"}}) {
        corvane::test::clearLog();
        path = "unchanged";
        sc::findDriverPathOfLibrary(code, library.c_str(), &path);
        EXPECT_EQ(path, "unchanged") << code << " " << library;
        EXPECT_TRUE(logHas("ERROR [default] SmartCard : No driver path is defined for " + library)) << code;
    }
}

TEST(CardDatabaseDocuments, AppPlaceholderAndMultipleMatches) {
    const char* document = R"(<?xml version="1.0"?>
<smartcard-config>
  <libraries>
    <library name="twice"><driver operatingSystem="Linux_x64" path="{app}/a/{app}/b.so"/></library>
    <library name="relative"><driver operatingSystem="Linux_x64" path="{app}lib/c.so"/></library>
    <library name="dup"><driver operatingSystem="Linux_x64" path="/x.so"/><driver operatingSystem="Linux_x64" path="/y.so"/></library>
    <library name="published">
      <driver operatingSystem="Windows_x86" path="c:/p.dll"><digestSHA256>abcd</digestSHA256><downloadLink>https://example.invalid/p</downloadLink></driver>
      <driver operatingSystem="Linux_x64" path="/p.so"><digestSHA256>ef01</digestSHA256><downloadLink>https://example.invalid/l</downloadLink></driver>
    </library>
  </libraries>
  <card-types>
    <card-type name="ONE"><lib name="libone"/><atr value="3B01"/><atr value="3BAA"/></card-type>
    <card-type name="TWO"><lib name="libtwo"/><atr value="3B02"/><atr value="3BAA"/></card-type>
    <card-type name="NOLIB"><atr value="3B03"/></card-type>
  </card-types>
</smartcard-config>)";
    ASSERT_EQ(sc::configure(document), 0);
    const QString app = QCoreApplication::applicationDirPath();

    QString path;
    sc::findDriverPathOfLibrary(6, "twice", &path);
    EXPECT_EQ(path, app + "/a" + app + "/b.so");
    path.clear();
    sc::findDriverPathOfLibrary(6, "relative", &path);
    EXPECT_EQ(path, app + "lib/c.so");

    corvane::test::clearLog();
    path = "kept";
    sc::findDriverPathOfLibrary(6, "dup", &path);
    EXPECT_EQ(path, "kept");
    EXPECT_FALSE(logHas("SmartCard : "));

    // An ATR listed by two card types: only the card-type lookup complains.
    corvane::test::clearLog();
    std::string library = "kept", type = "kept";
    sc::findDriverForATR("3BAA", &library);
    sc::findCardTypeForATR("3BAA", &type);
    EXPECT_EQ(library, "kept");
    EXPECT_EQ(type, "kept");
    EXPECT_TRUE(logHas("ERROR [default] SmartCard : Multiple card type definitions for the  ATR 3BAA"));
    EXPECT_FALSE(logHas("Library for ATR"));
    EXPECT_FALSE(logHas("No library is defined"));

    library = "kept";
    sc::findDriverForATR("3B03", &library);
    EXPECT_EQ(library, "");
    sc::findDriverForATR("3B02", &library);
    EXPECT_EQ(library, "libtwo");

    // Digests and download links are published for the desktop codes 1 to 4 only.
    std::string digest, link;
    sc::findDriverDigestSHA256OfLibrary(1, "published", &digest);
    sc::findDownloadLinkOfLibrary(1, "published", &link);
    EXPECT_EQ(digest, "abcd");
    EXPECT_EQ(link, "https://example.invalid/p");
    EXPECT_TRUE(logHas("SmartCard : digest of library published is: abcd"));
    EXPECT_TRUE(logHas("SmartCard : download link of library published is: https://example.invalid/p"));
    corvane::test::clearLog();
    digest = "kept";
    link = "kept";
    sc::findDriverDigestSHA256OfLibrary(6, "published", &digest);
    sc::findDownloadLinkOfLibrary(6, "published", &link);
    EXPECT_EQ(digest, "kept");
    EXPECT_EQ(link, "kept");
    EXPECT_TRUE(logHas("ERROR [default] SmartCard : No digest is defined for published"));
    EXPECT_TRUE(logHas("ERROR [default] SmartCard : No download link is defined for published"));
}

TEST(CardDatabaseDocuments, InstalledDriversAreTheConfiguredOnesWhoseFileExists) {
    const std::string present = writeFile("libpresent.so", "x");
    const std::string document = "<smartcard-config><libraries>"
                                 "<library name=\"present\"><driver operatingSystem=\"Linux_x64\" path=\"" + present + "\"/>"
                                 "<driver operatingSystem=\"Windows_x86\" path=\"" + present + "\"/></library>"
                                 "<library name=\"absent\"><driver operatingSystem=\"Linux_x64\" path=\"" + present + ".gone\"/></library>"
                                 "</libraries></smartcard-config>";
    ASSERT_EQ(sc::configure(document.c_str()), 0);
    corvane::test::clearLog();
    std::vector<sc::SmartCard> drivers(1);
    drivers[0].libraryName = "earlier";
    sc::listInstalledSmartCardDrivers(&drivers);
    ASSERT_EQ(drivers.size(), 2u);
    EXPECT_EQ(drivers[0].libraryName, "earlier");
    const sc::SmartCard& record = drivers[1];
    EXPECT_EQ(record.libraryName, "present");
    EXPECT_EQ(record.driverPath, present);
    EXPECT_EQ(record.driverPathWide, wide(present));
    EXPECT_EQ(record.cardType, nullptr);
    EXPECT_EQ(record.reservedWord1, 0u);
    EXPECT_EQ(record.reservedFlag, 0u);
    EXPECT_EQ(record.reservedWord2, 0u);
    EXPECT_EQ(record.reservedNumber, 0);
    EXPECT_TRUE(logHas("SmartCard : ------> Number of drivers being checked: 2"));
    EXPECT_TRUE(logHas("SmartCard : Driver present is installed"));
    EXPECT_TRUE(logHas("SmartCard : Driver absent is not installed"));

    // A copy carries every text and survives the original.
    sc::SmartCard copy;
    {
        sc::SmartCard original = record;
        original.cardType = "AKIS";
        copy = original;
    }
    EXPECT_EQ(copy.driverPathWide, wide(present));
    EXPECT_STREQ(copy.cardType, "AKIS");

    // The compiled-in document configures one driver on this system.
    ASSERT_EQ(sc::configure(compiledInDocument().constData()), 0);
    corvane::test::clearLog();
    drivers.clear();
    sc::listInstalledSmartCardDrivers(&drivers);
    EXPECT_TRUE(logHas("SmartCard : ------> Number of drivers being checked: 1"));
    EXPECT_TRUE(logHas("SmartCard : Checking driver akisp11 at path /usr/bin/corvane/drivers/akis/x64/libakisp11.so"));
    EXPECT_EQ(drivers.size(), QFileInfo::exists("/usr/bin/corvane/drivers/akis/x64/libakisp11.so") ? 1u : 0u);
}

TEST(CardDatabaseDocuments, FailedLoadLeavesTheDatabaseEmpty) {
    const QByteArray good = compiledInDocument();
    const std::string knownAtr = "3B9F968131FE4580655443D3230231C073F62180810553";

    auto expectEmpty = [&](const char* what) {
        EXPECT_FALSE(sc::configXMLDoc.first_child()) << what;
        std::string library, type;
        QString path;
        sc::findDriverForATR(knownAtr, &library);
        sc::findDriverForATR("3BAA", &library);
        sc::findCardTypeForATR(knownAtr, &type);
        sc::findCardTypeForATR("3BAA", &type);
        sc::findDriverPathOfLibrary(6, "akisp11", &path);
        EXPECT_TRUE(library.empty()) << what;
        EXPECT_TRUE(type.empty()) << what;
        EXPECT_TRUE(path.isEmpty()) << what;
    };

    // Broken text: pugixml would keep the elements read before the error.
    ASSERT_EQ(sc::configure(good.constData()), 0);
    const char* truncated = "<smartcard-config><card-types><card-type name=\"X\"><lib name=\"libx\"/>"
                            "<atr value=\"3BAA\"/></card-type><card-type name=";
    corvane::test::clearLog();
    EXPECT_EQ(sc::configure(truncated), 1);
    EXPECT_TRUE(logHas("SmartCard : ----- Configuring supported smart cards ----"));
    expectEmpty("truncated text");

    ASSERT_EQ(sc::configure(good.constData()), 0);
    EXPECT_EQ(sc::configure("not xml at all <"), 1);
    expectEmpty("not xml");

    ASSERT_EQ(sc::configure(good.constData()), 0);
    EXPECT_EQ(sc::configure(static_cast<const char*>(nullptr)), 1);
    expectEmpty("null text");

    // The file form: a missing file and a broken one.
    ASSERT_EQ(sc::configure(good.constData()), 0);
    EXPECT_EQ(sc::configure(wide(corvane::test::privateFolder().toStdString() + "/missing.xml").c_str()), 1);
    expectEmpty("missing file");

    ASSERT_EQ(sc::configure(good.constData()), 0);
    const std::string broken = writeFile("broken.xml", QByteArray(truncated));
    EXPECT_EQ(sc::configure(wide(broken).c_str()), 1);
    expectEmpty("broken file");

    // A later good load works again, also from a path with non-ASCII letters.
    const std::string nonAscii = writeFile(QString::fromUtf8("kart-yapılandırması.xml"), good);
    EXPECT_EQ(sc::configure(wide(nonAscii).c_str()), 0);
    std::string type;
    sc::findCardTypeForATR(knownAtr, &type);
    EXPECT_EQ(type, "AKIS");
}
