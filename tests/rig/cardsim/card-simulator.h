// Simulated smart cards for the PC/SC test rig.
//
// A cardsim::Card is one card with an ISO 7816-4 file system, a PIN with a
// retry counter, keys and certificates. insertInto(port) connects it as the
// TCP client of a vpcd virtual reader of the running pcscd (card inserted);
// remove() closes the connection (card pulled). A thread per inserted card
// answers the reader. Every command and answer is logged so tests can assert
// the exact bytes the engine sent.
//
//   cardsim::Card card(cardsim::Profile::Akis1);
//   card.insertInto(rig::kReaderAkisPort);        // waits until pcscd sees it
//   ... run the engine ...
//   EXPECT_EQ(card.commandLog()[0], "00A40000023F0000");
//   card.setRefusal(0x2A, 0x6982);                 // refuse every PSO
//
// Profiles (file identifiers hex):
//  Akis1         MF 3F00 / DF 3D00 (DF name "PKCS-15", the e-signature application):
//                EF 2F01 PrKDF, 2F02 PuKDF, 2F04 CDF, certificates at the key specs'
//                files (default RSA key ref 1 at 2F10, EC P-256 key ref 2 at 2F13).
//                VERIFY 00 20 00 81 (user PIN), 00 20 00 82 (SO PIN);
//                MSE 00 22 C3 kk 00 and 00 22 41 B6 {80 01 92|91|9B, 84 01 80+kk};
//                PSO 00 2A 9E 9A; key list 80 1F; serial 80 1B; GET DATA 00 CA;
//                UPDATE BINARY under the user PIN; RESET RETRY COUNTER, CHANGE
//                REFERENCE DATA. No DF 3D10 (the identity probe fails).
//  Akis2         MF / DF 3D10 (so the identity probe succeeds: "rel2") / DF 3D01
//                (DF name "PKCS-15") with the same EFs; default RSA key ref 1 at
//                2F10; only the CRT form of MSE (84 01 81).
//  IdentityCard  MF / DF 3D10 / DF 3D00 with EF 2F10 (certificate); VERIFY
//                00 20 00 01; MSE 00 22 41 B6 {80 01 91|92, 84 01 81}; PSO; GET
//                RESPONSE. RSA 2048 key.
//
// Answers follow ISO 7816-4: 6A82 file not found, 6982 security status not
// satisfied, 6985 conditions of use not satisfied (PSO without MSE, GET
// RESPONSE with nothing pending), 63Cx wrong PIN (x tries left, 63C0 on the
// try that blocks it), the blocked status word (default 6984) afterwards,
// 6A88 referenced key/PIN not found, 6A80 wrong data, 6A86 wrong P1/P2,
// 6700 wrong length, 6D00 unknown INS, 6E00 unknown CLA, 6B00 offset outside
// the file, 6282 end of file before Le bytes (explicit Le only).
// SELECT answers 9000 with an FCP (62 L 80 02 size-hi size-lo 82 ...), so
// the file size is bytes 5 and 6 of the answer.
//
// The PINs belong to the application DF: a SELECT that leaves it (the MF,
// another DF) ends their verified state, unless CardOptions says the card
// keeps it across DF selections, as some cards do. A VERIFY without data is
// the ISO status query: 9000 while the PIN is verified, else 63Cx.
//
// A VERIFY whose PIN is all FF bytes (the engine sends six) is the PIN-pad
// reader form (the reader puts the keypad entry in their place); the card then
// checks the keypad entry (setKeypadEntry; by default the correct PIN).
//
// Keys are generated at run time (RSA 2048, EC P-256) and cached for the
// process by KeySpec::cacheName; certificates are issued by a test CA
// (testCa()) so tests can verify chains and signatures with OpenSSL.
//
// Thread safety: every member may be called from any thread while the card
// thread serves the reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardsim {

using Bytes = std::vector<uint8_t>;

// Upper-case hex, no separators ("00A40000023F0000").
std::string toHex(const Bytes& bytes);
// Accepts upper or lower case, ignores blanks; throws std::invalid_argument.
Bytes fromHex(const std::string& hex);

enum class Profile { Akis1, Akis2, IdentityCard };
enum class KeyType { Rsa2048, EcP256 };

const char* profileName(Profile profile);  // "akis1", "akis2", "identity"
// The ATR the profile presents by default (one of the AKIS family ATRs that
// the card database knows) and one no database knows.
Bytes defaultAtr(Profile profile);
Bytes unknownAtr();

// A file of the card, as a path of file identifiers below the MF,
// e.g. {0x3D00, 0x2F10}. {} is the MF itself.
using FilePath = std::vector<uint16_t>;

// One private key of the card with its certificate.
struct KeySpec {
    KeyType type = KeyType::Rsa2048;
    int keyReference = 1;              // PrKDF keyReference; CRT key reference 80 + this
    uint16_t certificateFile = 0x2F10; // EF (in the application DF) holding the certificate
    std::string commonName;            // subject CN; empty: a default per profile and key
    std::string identityNumber;        // subject serialNumber attribute; empty: a default
    Bytes serial;                      // certificate serial, big-endian magnitude; empty: default
    int validDays = 730;               // notAfter = now + validDays (negative: expired)
    std::string privateKeyPem;         // supplied key; empty: generated
    Bytes certificateDer;              // supplied certificate; empty: issued by testCa()
    std::string cacheName;             // generated keys are shared in the process by this
                                       // name; empty: a default per profile and key
};

struct CardOptions {
    std::string pin;                 // empty: "123456"
    std::string soPin;               // security officer PIN; empty: "12345678"
    int pinTries = 3;                // retry counter start and maximum
    Bytes atr;                       // empty: defaultAtr(profile)
    std::vector<KeySpec> keys;       // empty: the profile's default keys
    bool storageFile = false;        // Akis profiles: an empty writable EF 2F11 for storing
                                     // a certificate (EF 2F11 then takes no default key)
    uint16_t applicationDf = 0;      // DF of the application (certificates, directories);
                                     // 0: 3D00 (Akis1, IdentityCard) or 3D01 (Akis2).
                                     // Akis1 with 3D01 exercises the 3D00 -> 3D01 fallback.
    bool pinSurvivesDfSelection = false;  // keep the PINs verified when a SELECT leaves the
                                     // application DF (the MF, another DF), as some cards do;
                                     // by default leaving it clears them
    bool logToStderr = false;        // echo every exchange (the command-line program)
};

// Key material of one key, for tests to verify with OpenSSL.
struct KeyMaterial {
    KeySpec setup;                 // as used (defaults filled in)
    std::string privateKeyPem;
    std::string publicKeyPem;
    Bytes publicKeyDer;           // SubjectPublicKeyInfo
    Bytes certificateDer;
    std::string certificatePem;
    std::string serialDecimal;    // certificate serial number in decimal
    Bytes keyId;                  // PKCS#15 iD: SHA-1 of the subjectPublicKey bits (20 bytes)
};

struct TestCa {
    std::string certificatePem;
    Bytes certificateDer;
    std::string privateKeyPem;
};
// The process-wide test CA that issues every generated certificate.
const TestCa& testCa();

// One exchange with the reader.
struct Exchange {
    Bytes command;
    Bytes response;               // empty when the card was pulled on this command
    std::string commandHex() const { return toHex(command); }
    std::string responseHex() const { return toHex(response); }
};

class Card {
public:
    explicit Card(Profile profile, CardOptions options = {});
    ~Card();  // removes the card if inserted
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    Profile profile() const;
    Bytes atr() const;
    void setAtr(const Bytes& atr);   // takes effect at the next ATR request (insert, reset)

    // ---- reader connection ----
    // Connects to the vpcd reader at 127.0.0.1:port and waits (bounded by
    // `wait`) until the reader has read the ATR and, for a rig reader, until
    // pcscd reports the card present. Throws std::runtime_error when nothing
    // listens, when the reader never asks for the ATR, or when already inserted.
    void insertInto(uint16_t port, std::chrono::milliseconds wait = std::chrono::seconds(10));
    // Closes the connection; for a rig reader waits (bounded) until pcscd
    // reports the reader empty. Does nothing when not inserted.
    void remove(std::chrono::milliseconds wait = std::chrono::seconds(10));
    bool inserted() const;
    uint16_t port() const;            // 0 when not inserted
    int powerUps() const;             // power-on / reset requests seen so far

    // ---- PIN ----
    std::string pin() const;
    int pinTriesLeft() const;
    void setPinTriesLeft(int tries);  // 0 blocks the PIN
    bool pinBlocked() const;
    bool pinVerified() const;         // current security state of the user PIN
    void setBlockedStatusWord(uint16_t sw);  // answer to VERIFY of a blocked PIN (6984)
    // What the user "types" on a PIN-pad reader (VERIFY with an all-FF PIN).
    // std::nullopt: the correct PIN.
    void setKeypadEntry(std::optional<std::string> entry);

    // ---- fault switches (all take effect at once, for every later command) ----
    // Answer `sw` (no data) to every command with this INS, `times` times (-1: always).
    void setRefusal(uint8_t ins, uint16_t sw, int times = -1);
    // Same for commands starting with exactly these bytes (CLA INS P1 P2 ...).
    void setRefusalFor(const Bytes& commandPrefix, uint16_t sw, int times = -1);
    // Answer these exact bytes (at least 1; e.g. a 1-byte reply or data
    // without a status word) to commands starting with the prefix.
    void setAnswerFor(const Bytes& commandPrefix, const Bytes& rapdu, int times = -1);
    // Pull the card (close the connection, no answer) when such a command arrives.
    void setRemovalOn(const Bytes& commandPrefix);
    void clearRules();
    // 61xx chaining for answers of commands with this INS (e.g. 0xA4, 0x2A,
    // 0xCA): the first answer carries `firstPart` data bytes and 61xx
    // (xx = bytes left, 00 for 256 or more); each GET RESPONSE (00 C0 00 00 Le)
    // returns up to min(Le or 256, perGetResponse or 256) bytes with 61xx or 9000.
    void setChaining(uint8_t ins, std::size_t firstPart = 0, std::size_t perGetResponse = 0);
    void clearChaining();
    // READ BINARY returns at most this many bytes per command (default 256).
    void setReadBinaryLimit(std::size_t maxBytes);
    // The FCP of this EF reports `size` instead of its real length (-1: real).
    void setReportedSize(const FilePath& ef, int size);
    // FCP answers are cut to this many bytes (-1: whole).
    void setFcpLimit(int bytes);

    // ---- file system ----
    void putFile(const FilePath& ef, const Bytes& content, bool writable = false);  // adds/replaces an EF
    void putDf(const FilePath& df, const std::string& dfName = {});                // adds a DF
    void removeFile(const FilePath& path);                                         // EF or DF with all below it
    bool hasFile(const FilePath& path) const;
    Bytes fileContent(const FilePath& ef) const;                                    // throws std::out_of_range
    FilePath applicationDf() const;   // e.g. {0x3D00}: where the certificates and directories are

    // ---- keys ----
    const std::vector<KeyMaterial>& keys() const;   // in KeySpec order; fixed after construction
    // Writes ca.pem, and per key N (from 1): key-N.pem, pub-N.pem, cert-N.pem, cert-N.der.
    void writeMaterial(const std::string& folder) const;

    // ---- log ----
    std::vector<Exchange> apduLog() const;
    std::vector<std::string> commandLog() const;    // hex of each command, in order
    void clearApduLog();
    // Waits until at least `count` exchanges are logged; false on time-out.
    bool waitForExchanges(std::size_t count, std::chrono::milliseconds timeout) const;

    // Answers one command directly, without a reader (logged like the others).
    Bytes process(const Bytes& command);

    struct State;
private:
    std::unique_ptr<State> state_;
};

}  // namespace cardsim
