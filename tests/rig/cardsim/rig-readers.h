// The reader set of the test rig: what tests/rig/pcscd-rig.sh configures in
// pcscd, and what tests address. One table, so the reader.conf that pcscd
// reads and the constants that tests use can never disagree (the rig script
// prints its reader.conf with `corvane-cardsim-cli reader-conf`).
//
// Every reader.conf entry of the vpcd driver yields two readers ("NAME 00 00"
// on PORT and "NAME 00 01" on PORT+1). pcscd lists the readers in the order
// of the entries in the single rig reader.conf file, so the slot (1-based
// position in the SCardListReaders list) is fixed:
//
//  slot  reader name                        port   driver        role
//  1     Corvane Rig Reader A 00 00          29760  vpcd          plain; AKIS first release by convention
//  2     Corvane Rig Reader A 00 01          29761  vpcd          plain; AKIS second release by convention
//  3     Corvane Rig Reader B 00 00          29762  vpcd          plain; national identity card by convention
//  4     Corvane Rig Reader B 00 01          29763  vpcd          ALWAYS EMPTY: no test inserts a card here
//  5     VKR-410 Corvane PIN Pad 00 00       29764  pinpad+vpcd   PIN-pad reader (answers the feature request)
//  6     VKR-410 Corvane PIN Pad 00 01       29765  pinpad+vpcd   second PIN-pad slot
//  7     OMNIKEY CardMan 3621 00 00          29766  vpcd          OMNIKEY-named reader (no feature list)
//  8     OMNIKEY CardMan 3621 00 01          29767  vpcd          second OMNIKEY slot
//
// A card simulator "inserts" its card by connecting to the port
// (cardsim::Card::insertInto) and removes it by closing the connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rig {

enum class ReaderDriver { Vpcd, PinPad };

struct Reader {
    int slot;              // 1-based position in the pcscd reader list
    const char* name;      // full PC/SC reader name as pcscd reports it
    uint16_t port;         // vpcd TCP port the card simulator connects to
    ReaderDriver driver;   // which driver serves it
    bool pinPad;           // answers CM_IOCTL_GET_FEATURE_REQUEST with FEATURE_VERIFY_PIN_DIRECT
};

// reader.conf friendly names (pcscd appends " 00 00" / " 00 01").
constexpr const char* kEntryPlainA = "Corvane Rig Reader A";
constexpr const char* kEntryPlainB = "Corvane Rig Reader B";
constexpr const char* kEntryPinPad = "VKR-410 Corvane PIN Pad";
constexpr const char* kEntryOmnikey = "OMNIKEY CardMan 3621";

constexpr Reader kReaderAkis{1, "Corvane Rig Reader A 00 00", 29760, ReaderDriver::Vpcd, false};
constexpr Reader kReaderAkis2{2, "Corvane Rig Reader A 00 01", 29761, ReaderDriver::Vpcd, false};
constexpr Reader kReaderIdentity{3, "Corvane Rig Reader B 00 00", 29762, ReaderDriver::Vpcd, false};
constexpr Reader kReaderEmpty{4, "Corvane Rig Reader B 00 01", 29763, ReaderDriver::Vpcd, false};
constexpr Reader kReaderPinPad{5, "VKR-410 Corvane PIN Pad 00 00", 29764, ReaderDriver::PinPad, true};
constexpr Reader kReaderPinPad2{6, "VKR-410 Corvane PIN Pad 00 01", 29765, ReaderDriver::PinPad, true};
constexpr Reader kReaderOmnikey{7, "OMNIKEY CardMan 3621 00 00", 29766, ReaderDriver::Vpcd, false};
constexpr Reader kReaderOmnikey2{8, "OMNIKEY CardMan 3621 00 01", 29767, ReaderDriver::Vpcd, false};

constexpr Reader kReaders[] = {kReaderAkis,   kReaderAkis2,   kReaderIdentity, kReaderEmpty,
                               kReaderPinPad, kReaderPinPad2, kReaderOmnikey,  kReaderOmnikey2};
constexpr std::size_t kReaderCount = sizeof(kReaders) / sizeof(kReaders[0]);

// Short names for the ports, for the common case.
constexpr uint16_t kReaderAkisPort = kReaderAkis.port;
constexpr uint16_t kReaderAkis2Port = kReaderAkis2.port;
constexpr uint16_t kReaderIdentityPort = kReaderIdentity.port;
constexpr uint16_t kReaderEmptyPort = kReaderEmpty.port;
constexpr uint16_t kReaderPinPadPort = kReaderPinPad.port;
constexpr uint16_t kReaderOmnikeyPort = kReaderOmnikey.port;

// PC/SC part 10 answer of the PIN-pad reader to CM_IOCTL_GET_FEATURE_REQUEST
// (0x42000D48): TLV entries tag, 04, control code (big-endian), in this order.
constexpr uint32_t kFeatureRequestIoctl = 0x42000D48;
constexpr uint8_t kFeatureVerifyPinDirect = 0x06;
constexpr uint8_t kFeatureModifyPinDirect = 0x07;
constexpr uint8_t kFeatureIfdPinProperties = 0x0A;
constexpr uint8_t kFeatureGetTlvProperties = 0x12;
// Control codes as the CCID driver numbers them: SCARD_CTL_CODE(0x330000 + tag).
constexpr uint32_t featureControlCode(uint8_t tag) { return 0x42000000u + 0x330000u + tag; }
constexpr uint8_t kPinPadFeatures[] = {kFeatureVerifyPinDirect, kFeatureModifyPinDirect,
                                       kFeatureIfdPinProperties, kFeatureGetTlvProperties};

// The reader whose vpcd port this is, or nullptr.
constexpr const Reader* readerForPort(uint16_t port) {
    for (const Reader& r : kReaders)
        if (r.port == port) return &r;
    return nullptr;
}

}  // namespace rig
