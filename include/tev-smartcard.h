// Card configuration database: which PKCS#11 library serves a card (by ATR),
// which card type an ATR belongs to, and where a library's driver file lies on
// each operating system.
//
// The database is one process-wide XML document (`configXMLDoc`), loaded once at
// start-up by `configure` and only read afterwards. Lookups are XPath queries
// with variables; every lookup leaves its output untouched unless exactly one
// node matched, and none of them throws.
//
// Threads: `configure` must run before any lookup is made from another thread;
// loading while lookups run is not supported (there is no lock).
#pragma once

#include <QString>
#include <cstdint>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace tev {
namespace smartcard {

// The loaded card configuration document. Empty until a `configure` call
// succeeds; a failed `configure` leaves it empty as well.
extern pugi::xml_document configXMLDoc;

// One installed driver (from `listInstalledSmartCardDrivers`), or one non-AKIS
// card group handed to the PKCS#11 slot listing by the command layer.
// Plain record, copied member by member.
struct SmartCard {
    std::uint64_t reservedWord1 = 0;   // no meaning; zero
    const char* cardType = nullptr;    // borrowed card type name, never released here
    std::string driverPath;            // absolute driver path, UTF-8
    std::wstring driverPathWide;       // the same path as UCS-4 text (PKCS#11 module path)
    std::uint8_t reservedFlag = 0;     // no meaning; zero
    std::uint64_t reservedWord2 = 0;   // no meaning; zero
    std::string libraryName;           // short library name (`library` element's `name`)
    std::int32_t reservedNumber = 0;   // always 0

    SmartCard() = default;
    SmartCard(const SmartCard&) = default;
    SmartCard(SmartCard&&) = default;
    SmartCard& operator=(const SmartCard&) = default;
    SmartCard& operator=(SmartCard&&) = default;
    // Releases libraryName, driverPathWide and driverPath; cardType is borrowed.
    ~SmartCard();
};

// Loads the document from XML text (NUL-terminated). Returns 0 when the text
// parsed, 1 when it did not (the database is then empty).
int configure(const char* xmlText);

// Loads the document from an XML file (wide path, encoding detected). Logs the
// ATRs it found. Returns 0 on success, 1 when the file cannot be read or parsed
// (the database is then empty).
int configure(const wchar_t* xmlFilePath);

// Operating-system codes: 1 "Windows_x86", 2 "Windows_x64", 3 and 4 "MacOSX_64",
// 6 "Linux_x64" (the running build, see getOperatingSystem()).

// Sets *path to the absolute driver path of `library` on `operatingSystem`
// ("{app}" replaced by the application directory) when exactly one driver entry
// matches; otherwise *path is left unchanged.
void findDriverPathOfLibrary(int operatingSystem, const char* library, QString* path);

// Sets *library to the name of the first `lib` of the one card type that lists
// `atr` (upper-case hex, exact text); unchanged when none or several match.
void findDriverForATR(const std::string& atr, std::string* library);

// Sets *cardType to the name of the one card type that lists `atr`; unchanged
// when none or several match.
void findCardTypeForATR(const std::string& atr, std::string* cardType);

// Text content of the one matching driver's `digestSHA256` / `downloadLink`.
// These two lookups know the codes 1 to 4 only.
void findDriverDigestSHA256OfLibrary(int operatingSystem, const char* library, std::string* digest);
void findDownloadLinkOfLibrary(int operatingSystem, const char* library, std::string* link);

// Appends one record per configured driver of the running operating system
// whose file exists. The vector is not cleared first.
void listInstalledSmartCardDrivers(std::vector<SmartCard>* drivers);

}  // namespace smartcard
}  // namespace tev
