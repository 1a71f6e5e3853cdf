// The simulated card: file system, PIN, security environment, the command
// interpreter and the vpcd client connection.
#include "card-simulator.h"

#include "card-crypto.h"
#include "rig-pcsc.h"
#include "rig-readers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/sha.h>

namespace cardsim {

// ---------------------------------------------------------------- helpers --

std::string toHex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ' || c == '\t' || c == '\n' || c == ':') continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else throw std::invalid_argument("cardsim: not a hex digit in \"" + hex + "\"");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("cardsim: odd number of hex digits in \"" + hex + "\"");
    return out;
}

const char* profileName(Profile profile) {
    switch (profile) {
        case Profile::Akis1: return "akis1";
        case Profile::Akis2: return "akis2";
        case Profile::IdentityCard: return "identity";
    }
    return "?";
}

Bytes defaultAtr(Profile profile) {
    switch (profile) {
        // AKIS first release ("UEKAE V1.0" in the historical bytes).
        case Profile::Akis1: return fromHex("3BBA11008131FE4D55454B41452056312E30AE");
        // A later AKIS release.
        case Profile::Akis2: return fromHex("3B9F968131FE45806755454B41451212318073B3A180EA");
        // The national identity card ("eTC" in the historical bytes), an AKIS card type.
        case Profile::IdentityCard: return fromHex("3B9F978131FE458065544312210031C073F62180810593");
    }
    return {};
}

Bytes unknownAtr() {
    // T=1, historical bytes "CORVANE?", valid TCK; in no card database.
    return fromHex("3B888001434F5256414E453F74");
}

namespace {

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kEndOfFile = 0x6282;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kSecurityNotSatisfied = 0x6982;
constexpr uint16_t kConditionsNotSatisfied = 0x6985;
constexpr uint16_t kNoCurrentEf = 0x6986;
constexpr uint16_t kWrongData = 0x6A80;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kNotEnoughMemory = 0x6A84;
constexpr uint16_t kWrongP1P2 = 0x6A86;
constexpr uint16_t kReferenceNotFound = 0x6A88;
constexpr uint16_t kOffsetOutside = 0x6B00;
constexpr uint16_t kInsNotSupported = 0x6D00;
constexpr uint16_t kClaNotSupported = 0x6E00;

constexpr uint16_t kMf = 0x3F00;
const Bytes kPkcs15Name = {'P', 'K', 'C', 'S', '-', '1', '5'};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes tlv(uint8_t tag, const Bytes& value) {
    Bytes out{tag};
    size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
    return out + value;
}

Bytes fid(uint16_t id) { return {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)}; }

Bytes smallInteger(int v) {
    if (v < 0x80) return tlv(0x02, {static_cast<uint8_t>(v)});
    return tlv(0x02, {0x00, static_cast<uint8_t>(v)});
}

Bytes utf8(const std::string& s) { return tlv(0x0C, Bytes(s.begin(), s.end())); }

bool startsWith(const Bytes& command, const Bytes& prefix) {
    return command.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), command.begin());
}

// One file of the card.
struct Node {
    uint16_t id = 0;
    bool isDf = false;
    Bytes dfName;
    Bytes data;
    bool writable = false;
    size_t capacity = 0;   // writable EFs may grow up to this size
    int reportedSize = -1; // FCP size override
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;

    Node* child(uint16_t childId) const {
        for (auto& c : children)
            if (c->id == childId) return c.get();
        return nullptr;
    }
};

// A parsed short APDU.
struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    bool hasLe = false;
    size_t ne = 0;  // expected length (Le 00 = 256)
};

bool parseApdu(const Bytes& c, Apdu* a) {
    if (c.size() < 4) return false;
    a->cla = c[0];
    a->ins = c[1];
    a->p1 = c[2];
    a->p2 = c[3];
    if (c.size() == 4) return true;
    const size_t b4 = c[4];
    if (c.size() == 5) {
        a->hasLe = true;
        a->ne = b4 ? b4 : 256;
        return true;
    }
    if (b4 == 0) return false;  // extended length: not supported by these cards
    if (c.size() == 5 + b4) {
        a->data.assign(c.begin() + 5, c.end());
        return true;
    }
    if (c.size() == 6 + b4) {
        a->data.assign(c.begin() + 5, c.end() - 1);
        a->hasLe = true;
        a->ne = c.back() ? c.back() : 256;
        return true;
    }
    return false;
}

struct Rule {
    enum Kind { Refuse, Answer, Pull } kind = Refuse;
    int ins = -1;        // match on INS only
    Bytes prefix;        // or on leading bytes
    uint16_t sw = 0;
    Bytes answer;
    int times = -1;
};

struct Chaining {
    size_t firstPart = 0;
    size_t perGetResponse = 0;
};

struct Reply {
    Bytes data;
    uint16_t sw = kOk;
};

Reply status(uint16_t sw) { return Reply{{}, sw}; }

}  // namespace

// ------------------------------------------------------------------ state --

struct Card::State {
    Profile profile;
    CardOptions options;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    Bytes atr;
    std::unique_ptr<Node> mf;
    Node* currentDf = nullptr;
    Node* currentEf = nullptr;
    uint16_t appDf = 0x3D00;

    std::string pin, soPin;
    int maxTries = 3;
    int triesLeft = 3;
    int soTriesLeft = 3;
    bool verified = false;
    bool soVerified = false;
    uint16_t blockedSw = 0x6984;
    std::optional<std::string> keypadEntry;
    uint8_t userPinRef = 0x81;

    int seKey = -1;  // index into keys
    crypto::Algorithm seAlgorithm = crypto::Algorithm::RsaPkcs1;

    std::vector<KeyMaterial> material;
    std::vector<crypto::Pkey> keys;
    Bytes cardSerial;

    std::vector<Rule> rules;
    std::map<uint8_t, Chaining> chaining;
    size_t readLimit = 256;
    int fcpLimit = -1;
    Bytes pending;
    size_t pendingChunk = 0;

    std::vector<Exchange> exchanges;

    // Connection (guarded by connectionMutex; the flags also by mutex).
    std::mutex connectionMutex;
    int fd = -1;
    std::thread thread;
    std::atomic<bool> connected{false};
    uint16_t port = 0;
    int powerUps = 0;
    int atrRequests = 0;

    // ---- file system ----
    Node* find(const FilePath& path) const {
        Node* n = mf.get();
        for (uint16_t id : path) {
            if (!n->isDf) return nullptr;
            n = n->child(id);
            if (!n) return nullptr;
        }
        return n;
    }

    Node* makeParent(const FilePath& path) {
        if (path.empty()) throw std::invalid_argument("cardsim: the MF has no parent");
        FilePath parentPath(path.begin(), path.end() - 1);
        Node* parent = find(parentPath);
        if (!parent || !parent->isDf)
            throw std::invalid_argument("cardsim: no DF at the parent path of the file");
        return parent;
    }

    Node* putNode(const FilePath& path, bool isDf) {
        Node* parent = makeParent(path);
        Node* existing = parent->child(path.back());
        if (existing) {
            if (existing->isDf != isDf) throw std::invalid_argument("cardsim: DF/EF clash at the path");
            return existing;
        }
        auto node = std::make_unique<Node>();
        node->id = path.back();
        node->isDf = isDf;
        node->parent = parent;
        parent->children.push_back(std::move(node));
        return parent->children.back().get();
    }

    void putEf(const FilePath& path, const Bytes& content, bool writable, size_t capacity = 0) {
        Node* n = putNode(path, false);
        n->data = content;
        n->writable = writable;
        n->capacity = std::max(capacity, writable ? std::max<size_t>(content.size(), 4096) : content.size());
    }

    bool insideApplication(const Node* n) const {
        for (; n != nullptr; n = n->parent)
            if (n->isDf && n->id == appDf && n->parent == mf.get()) return true;
        return false;
    }

    void resetSecurity() {
        currentDf = mf.get();
        currentEf = nullptr;
        verified = false;
        soVerified = false;
        seKey = -1;
        pending.clear();
    }

    // ---- building the profiles ----
    void build();
    void buildKeys();
    Bytes cdf() const;
    Bytes prkdf() const;
    Bytes pukdf() const;

    // ---- the interpreter (mutex held) ----
    Bytes answer(const Bytes& command, bool* pull);
    Reply dispatch(const Apdu& a);
    Reply select(const Apdu& a);
    Reply readBinary(const Apdu& a);
    Reply updateBinary(const Apdu& a);
    Reply verify(const Apdu& a);
    Reply mse(const Apdu& a);
    Reply pso(const Apdu& a);
    Reply getResponse(const Apdu& a);
    Reply getData(const Apdu& a);
    Reply resetRetryCounter(const Apdu& a);
    Reply changeReferenceData(const Apdu& a);
    Reply keyList(const Apdu& a);
    Reply serialNumber(const Apdu& a);
    Bytes fcp(const Node* n) const;
    void wrongPin(int* tries, bool* state);

    // ---- connection ----
    void serve(int socketFd);
    void record(const Bytes& command, const Bytes& response);
};

// -------------------------------------------------------------- profiles --

void Card::State::buildKeys() {
    std::vector<KeySpec> specs = options.keys;
    const std::string p = profileName(profile);
    if (specs.empty()) {
        if (profile == Profile::Akis1) {
            KeySpec rsa;
            rsa.type = KeyType::Rsa2048;
            rsa.keyReference = 1;
            rsa.certificateFile = 0x2F10;
            KeySpec ec;
            ec.type = KeyType::EcP256;
            ec.keyReference = 2;
            ec.certificateFile = 0x2F13;
            specs = {rsa, ec};
        } else {
            specs = {KeySpec{}};
        }
    }
    int index = 0;
    for (KeySpec& setup : specs) {
        const std::string kind = setup.type == KeyType::Rsa2048 ? "rsa" : "ec";
        if (setup.cacheName.empty()) setup.cacheName = p + "-" + kind + "-" + std::to_string(setup.keyReference);
        if (setup.commonName.empty()) {
            std::string upper = p + " " + kind + " TEST USER " + std::to_string(setup.keyReference);
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            setup.commonName = upper;
        }
        if (setup.identityNumber.empty())
            setup.identityNumber = profile == Profile::IdentityCard ? "12345678950" : "10000000146";
        if (setup.keyReference < 1 || setup.keyReference > 0x7F)
            throw std::invalid_argument("cardsim: key reference out of 1..127");
        crypto::Pkey key;
        if (!setup.privateKeyPem.empty()) {
            key = crypto::privateKeyFromPem(setup.privateKeyPem);
            setup.type = crypto::keyTypeOf(key.get());
        } else {
            key = crypto::cachedKey(setup.cacheName, setup.type);
        }
        if (setup.certificateDer.empty()) {
            if (setup.serial.empty()) {
                // Stable per key name, distinct between keys; the first key's
                // serial has its top bit set so its DER INTEGER needs a 00 byte.
                unsigned char digest[SHA256_DIGEST_LENGTH];
                std::string seed = setup.cacheName + "|" + setup.commonName + "|" + std::to_string(setup.validDays);
                SHA256(reinterpret_cast<const unsigned char*>(seed.data()), seed.size(), digest);
                setup.serial.assign(digest, digest + 8);
                if (index == 0) setup.serial[0] |= 0x80;
                else setup.serial[0] = static_cast<uint8_t>((setup.serial[0] & 0x7F) | 0x10);
            }
            setup.certificateDer = crypto::issueCertificate(key.get(), setup);
        } else if (!crypto::certificateMatchesKey(setup.certificateDer, key.get())) {
            throw std::invalid_argument("cardsim: the supplied certificate does not match the key");
        }
        KeyMaterial m;
        m.setup = setup;
        m.privateKeyPem = crypto::privateKeyPem(key.get());
        m.publicKeyPem = crypto::publicKeyPem(key.get());
        m.publicKeyDer = crypto::publicKeyDer(key.get());
        m.certificateDer = setup.certificateDer;
        m.certificatePem = crypto::certificatePem(setup.certificateDer);
        m.serialDecimal = crypto::serialDecimal(setup.certificateDer);
        m.keyId = crypto::keyIdentifier(key.get());
        for (const KeyMaterial& other : material)
            if (other.setup.keyReference == setup.keyReference || other.setup.certificateFile == setup.certificateFile)
                throw std::invalid_argument("cardsim: two keys share a key reference or a certificate file");
        material.push_back(std::move(m));
        keys.push_back(std::move(key));
        ++index;
    }
}

// CDF entries in the layout the card's own software writes: common object
// attributes, common certificate attributes (iD first), [0] NULL, [1] X.509
// attributes { path, subject, [0] issuer, serialNumber }.
Bytes Card::State::cdf() const {
    Bytes out;
    for (const KeyMaterial& m : material) {
        crypto::CertificateFields f = crypto::certificateFields(m.certificateDer);
        Bytes common = tlv(0x30, utf8(m.setup.commonName) + tlv(0x03, {0x06, 0x40}));
        Bytes certCommon = tlv(0x30, tlv(0x04, m.keyId) + tlv(0x01, {0x00}) + tlv(0x83, {0x00}));
        Bytes x509 = tlv(0x30, tlv(0x30, tlv(0x04, fid(m.setup.certificateFile))) + f.subject +
                                   tlv(0xA0, f.issuer) + f.serialInteger);
        out = out + tlv(0x30, common + certCommon + tlv(0xA0, tlv(0x05, {})) + tlv(0xA1, x509));
    }
    return out;
}

// PrKDF: RSA keys as SEQUENCE, EC keys as [0]; CommonKeyAttributes end with
// the key reference.
Bytes Card::State::prkdf() const {
    Bytes out;
    for (const KeyMaterial& m : material) {
        const bool rsa = m.setup.type == KeyType::Rsa2048;
        Bytes common = tlv(0x30, utf8(m.setup.commonName) + tlv(0x03, {0x07, 0x80}) + tlv(0x04, {0x01}));
        Bytes keyCommon = tlv(0x30, tlv(0x04, m.keyId) + tlv(0x03, {0x06, 0x20, 0x40}) +
                                        tlv(0x03, {0x03, 0xB8}) + smallInteger(m.setup.keyReference));
        Bytes path = tlv(0x30, tlv(0x04, fid(kMf) + fid(appDf)));
        Bytes typeAttributes = rsa ? tlv(0xA1, tlv(0x30, path + tlv(0x02, {0x08, 0x00}))) : tlv(0xA1, tlv(0x30, path));
        out = out + tlv(rsa ? 0x30 : 0xA0, common + keyCommon + typeAttributes);
    }
    return out;
}

Bytes Card::State::pukdf() const {
    Bytes out;
    for (const KeyMaterial& m : material) {
        const bool rsa = m.setup.type == KeyType::Rsa2048;
        Bytes common = tlv(0x30, utf8(m.setup.commonName));
        Bytes keyCommon = tlv(0x30, tlv(0x04, m.keyId) + tlv(0x03, {0x06, 0x02}) + smallInteger(m.setup.keyReference));
        Bytes path = tlv(0x30, tlv(0x04, fid(kMf) + fid(appDf)));
        Bytes typeAttributes = rsa ? tlv(0xA1, tlv(0x30, path + tlv(0x02, {0x08, 0x00}))) : tlv(0xA1, tlv(0x30, path));
        out = out + tlv(rsa ? 0x30 : 0xA0, common + keyCommon + typeAttributes);
    }
    return out;
}

void Card::State::build() {
    atr = options.atr.empty() ? defaultAtr(profile) : options.atr;
    pin = options.pin.empty() ? "123456" : options.pin;
    soPin = options.soPin.empty() ? "12345678" : options.soPin;
    if (options.pinTries < 1 || options.pinTries > 15) throw std::invalid_argument("cardsim: pinTries out of 1..15");
    maxTries = triesLeft = soTriesLeft = options.pinTries;
    userPinRef = profile == Profile::IdentityCard ? 0x01 : 0x81;
    appDf = options.applicationDf ? options.applicationDf : profile == Profile::Akis2 ? 0x3D01 : 0x3D00;
    if (appDf == kMf || appDf == 0x3D10) throw std::invalid_argument("cardsim: the application DF cannot be 3F00 or 3D10");

    mf = std::make_unique<Node>();
    mf->id = kMf;
    mf->isDf = true;

    buildKeys();

    if (profile != Profile::Akis1) putNode({0x3D10}, true);  // answers the identity probe
    Node* app = putNode({appDf}, true);
    if (profile != Profile::IdentityCard) app->dfName = kPkcs15Name;

    for (const KeyMaterial& m : material) {
        if (options.storageFile && m.setup.certificateFile == 0x2F11)
            throw std::invalid_argument("cardsim: EF 2F11 is the storage file; give the key another file");
        putEf({appDf, m.setup.certificateFile}, m.certificateDer, false);
    }
    if (profile != Profile::IdentityCard) {
        putEf({appDf, 0x2F01}, prkdf(), false);
        putEf({appDf, 0x2F02}, pukdf(), false);
        putEf({appDf, 0x2F04}, cdf(), true);
        if (options.storageFile) putEf({appDf, 0x2F11}, {}, true);
    }

    unsigned char digest[SHA256_DIGEST_LENGTH];
    std::string seed = std::string("serial|") + profileName(profile) + "|" + material.front().serialDecimal;
    SHA256(reinterpret_cast<const unsigned char*>(seed.data()), seed.size(), digest);
    cardSerial.assign(digest, digest + 8);
    resetSecurity();
}

// ----------------------------------------------------------- interpreter --

Bytes Card::State::fcp(const Node* n) const {
    Bytes body;
    if (n->isDf) {
        body = tlv(0x82, {0x38}) + tlv(0x83, fid(n->id));
        if (!n->dfName.empty()) body = body + tlv(0x84, n->dfName);
        body = body + tlv(0x8A, {0x05});
    } else {
        size_t size = n->reportedSize >= 0 ? static_cast<size_t>(n->reportedSize) : n->data.size();
        body = tlv(0x80, {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)}) + tlv(0x82, {0x01}) +
               tlv(0x83, fid(n->id)) + tlv(0x8A, {0x05});
    }
    Bytes out = tlv(0x62, body);
    if (fcpLimit >= 0 && out.size() > static_cast<size_t>(fcpLimit)) out.resize(static_cast<size_t>(fcpLimit));
    return out;
}

Reply Card::State::select(const Apdu& a) {
    if (a.p2 != 0x00 && a.p2 != 0x04 && a.p2 != 0x0C) return status(kWrongP1P2);
    Node* target = nullptr;
    const Bytes& d = a.data;
    auto fidOf = [&]() -> int { return d.size() == 2 ? (d[0] << 8 | d[1]) : -1; };
    switch (a.p1) {
        case 0x00: {
            if (d.empty()) {
                target = mf.get();
                break;
            }
            int id = fidOf();
            if (id < 0) return status(kWrongLength);
            if (id == kMf) {
                target = mf.get();
                break;
            }
            // Children of the current DF, the current DF itself, then its
            // parent and the parent's children (siblings), as ISO allows.
            target = currentDf->child(static_cast<uint16_t>(id));
            if (!target && currentDf->id == id) target = currentDf;
            if (!target && currentDf->parent) {
                if (currentDf->parent->id == id) target = currentDf->parent;
                else target = currentDf->parent->child(static_cast<uint16_t>(id));
            }
            break;
        }
        case 0x01:
        case 0x02: {
            int id = fidOf();
            if (id < 0) return status(kWrongLength);
            Node* c = currentDf->child(static_cast<uint16_t>(id));
            if (c && c->isDf == (a.p1 == 0x01)) target = c;
            break;
        }
        case 0x03:
            if (!d.empty()) return status(kWrongLength);
            target = currentDf->parent;
            break;
        case 0x04: {
            if (d.empty()) return status(kWrongLength);
            std::vector<Node*> stack{mf.get()};
            while (!stack.empty() && !target) {
                Node* n = stack.back();
                stack.pop_back();
                if (n->isDf && n->dfName == d) target = n;
                for (auto& c : n->children) stack.push_back(c.get());
            }
            break;
        }
        case 0x08:
        case 0x09: {
            if (d.empty() || d.size() % 2) return status(kWrongLength);
            Node* n = a.p1 == 0x08 ? mf.get() : currentDf;
            for (size_t i = 0; n && i < d.size(); i += 2) {
                uint16_t id = static_cast<uint16_t>(d[i] << 8 | d[i + 1]);
                n = n->isDf ? n->child(id) : nullptr;
            }
            target = n;
            break;
        }
        default:
            return status(kWrongP1P2);
    }
    if (!target) return status(kFileNotFound);
    if (target->isDf) {
        currentDf = target;
        currentEf = nullptr;
    } else {
        currentDf = target->parent;
        currentEf = target;
    }
    // The PINs belong to the application DF: leaving it ends their verified
    // state, unless the card is one that keeps it across DF selections.
    if (!options.pinSurvivesDfSelection && !insideApplication(currentDf)) {
        verified = false;
        soVerified = false;
    }
    if (a.p2 == 0x0C || !a.hasLe) return status(kOk);
    Bytes info = fcp(target);
    if (info.size() > a.ne) info.resize(a.ne);
    return Reply{info, kOk};
}

Reply Card::State::readBinary(const Apdu& a) {
    if (!a.data.empty()) return status(kWrongLength);
    if (a.p1 & 0x80) return status(kFileNotFound);  // no short file identifiers on these cards
    if (!currentEf) return status(kNoCurrentEf);
    const size_t offset = static_cast<size_t>(a.p1) << 8 | a.p2;
    const size_t size = currentEf->data.size();
    if (offset >= size) return status(kOffsetOutside);
    const size_t ne = a.hasLe ? a.ne : 256;
    const size_t n = std::min({ne, size - offset, readLimit});
    Reply r;
    r.data.assign(currentEf->data.begin() + static_cast<long>(offset),
                  currentEf->data.begin() + static_cast<long>(offset + n));
    // Le 00 asks for "up to 256": fewer bytes at the end of the file is a full answer.
    r.sw = (n < ne && a.hasLe && a.ne != 256) ? kEndOfFile : kOk;
    return r;
}

Reply Card::State::updateBinary(const Apdu& a) {
    if (a.p1 & 0x80) return status(kFileNotFound);
    if (!currentEf) return status(kNoCurrentEf);
    if (a.data.empty()) return status(kWrongLength);
    if (!currentEf->writable || !verified) return status(kSecurityNotSatisfied);
    const size_t offset = static_cast<size_t>(a.p1) << 8 | a.p2;
    if (offset > currentEf->data.size()) return status(kOffsetOutside);
    if (offset + a.data.size() > currentEf->capacity) return status(kNotEnoughMemory);
    if (currentEf->data.size() < offset + a.data.size()) currentEf->data.resize(offset + a.data.size());
    std::copy(a.data.begin(), a.data.end(), currentEf->data.begin() + static_cast<long>(offset));
    return status(kOk);
}

void Card::State::wrongPin(int* tries, bool* state) {
    *state = false;
    if (*tries > 0) --*tries;
}

Reply Card::State::verify(const Apdu& a) {
    if (a.p1 != 0x00) return status(kWrongP1P2);
    const bool user = a.p2 == userPinRef;
    const bool so = profile != Profile::IdentityCard && a.p2 == 0x82;
    if (!user && !so) return status(kReferenceNotFound);
    int& tries = user ? triesLeft : soTriesLeft;
    bool& state = user ? verified : soVerified;
    const std::string& secret = user ? pin : soPin;
    if (a.data.empty()) {  // retry counter query
        if (state) return status(kOk);
        return status(tries == 0 ? blockedSw : static_cast<uint16_t>(0x63C0 | tries));
    }
    if (tries == 0) return status(blockedSw);
    std::string given(a.data.begin(), a.data.end());
    // The PIN-pad reader's placeholder: the reader collects the PIN on its keypad.
    if (user && a.data.size() >= 4 && std::all_of(a.data.begin(), a.data.end(), [](uint8_t b) { return b == 0xFF; }))
        given = keypadEntry ? *keypadEntry : pin;
    if (given == secret) {
        tries = maxTries;
        state = true;
        return status(kOk);
    }
    wrongPin(&tries, &state);
    return status(static_cast<uint16_t>(0x63C0 | tries));
}

Reply Card::State::mse(const Apdu& a) {
    seKey = -1;
    auto keyIndex = [&](int reference) -> int {
        for (size_t i = 0; i < material.size(); ++i)
            if (material[i].setup.keyReference == reference) return static_cast<int>(i);
        return -1;
    };
    auto defaultAlgorithm = [&](int index) {
        return material[static_cast<size_t>(index)].setup.type == KeyType::Rsa2048 ? crypto::Algorithm::RsaPkcs1
                                                                                   : crypto::Algorithm::Ecdsa;
    };
    if (a.p1 == 0xC3) {
        // First-release short form: P2 names the key, the key type the algorithm.
        if (profile != Profile::Akis1) return status(kWrongP1P2);
        if (!a.data.empty()) return status(kWrongLength);
        int index = keyIndex(a.p2);
        if (index < 0) return status(kReferenceNotFound);
        seKey = index;
        seAlgorithm = defaultAlgorithm(index);
        return status(kOk);
    }
    if (a.p1 != 0x41 || a.p2 != 0xB6) return status(kWrongP1P2);
    int algorithmRef = -1, keyRef = -1;
    for (size_t i = 0; i + 1 < a.data.size();) {
        uint8_t tag = a.data[i], len = a.data[i + 1];
        if (i + 2 + len > a.data.size()) return status(kWrongData);
        if (tag == 0x80 && len == 1) algorithmRef = a.data[i + 2];
        else if ((tag == 0x84 || tag == 0x83) && len == 1) keyRef = a.data[i + 2];
        i += 2 + len;
    }
    if (keyRef < 0) return status(kWrongData);
    int index = keyIndex(keyRef & 0x7F);
    if (index < 0) return status(kReferenceNotFound);
    const bool rsa = material[static_cast<size_t>(index)].setup.type == KeyType::Rsa2048;
    crypto::Algorithm algorithm;
    switch (algorithmRef) {
        case -1: algorithm = defaultAlgorithm(index); break;
        case 0x91: algorithm = crypto::Algorithm::RsaPss; break;
        case 0x92: algorithm = crypto::Algorithm::RsaPkcs1; break;
        case 0x9B: algorithm = crypto::Algorithm::Ecdsa; break;
        default: return status(kWrongData);
    }
    if (rsa != (algorithm != crypto::Algorithm::Ecdsa)) return status(kWrongData);
    seKey = index;
    seAlgorithm = algorithm;
    return status(kOk);
}

Reply Card::State::pso(const Apdu& a) {
    if (a.p1 != 0x9E || a.p2 != 0x9A) return status(kWrongP1P2);
    if (!verified) return status(kSecurityNotSatisfied);
    if (seKey < 0) return status(kConditionsNotSatisfied);
    if (a.data.empty()) return status(kWrongLength);
    Reply r;
    if (!crypto::sign(keys[static_cast<size_t>(seKey)].get(), seAlgorithm, a.data, &r.data)) return status(kWrongData);
    return r;
}

Reply Card::State::getResponse(const Apdu& a) {
    if (a.p1 != 0 || a.p2 != 0) return status(kWrongP1P2);
    if (pending.empty()) return status(kConditionsNotSatisfied);
    size_t n = std::min({a.hasLe ? a.ne : size_t{256}, pending.size(), pendingChunk ? pendingChunk : size_t{256}});
    Reply r;
    r.data.assign(pending.begin(), pending.begin() + static_cast<long>(n));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    r.sw = pending.empty() ? kOk : static_cast<uint16_t>(0x6100 | (std::min<size_t>(pending.size(), 256) & 0xFF));
    return r;
}

Reply Card::State::getData(const Apdu& a) {
    if (profile == Profile::IdentityCard) return status(kReferenceNotFound);
    if (a.p1 == 0x01 && a.p2 == 0x04) return Reply{{0x1C, 0x00}, kOk};  // free space of the application
    return status(kReferenceNotFound);
}

Reply Card::State::resetRetryCounter(const Apdu& a) {
    if (profile == Profile::IdentityCard) return status(kInsNotSupported);
    if (a.p1 != 0x02 || a.p2 != 0x81) return status(kWrongP1P2);
    if (!soVerified) return status(kSecurityNotSatisfied);
    if (a.data.size() < 4 || a.data.size() > 16) return status(kWrongData);
    pin.assign(a.data.begin(), a.data.end());
    triesLeft = maxTries;
    verified = false;
    return status(kOk);
}

Reply Card::State::changeReferenceData(const Apdu& a) {
    if (profile == Profile::IdentityCard) return status(kInsNotSupported);
    if (a.p1 != 0x00 || a.p2 != 0x81) return status(kWrongP1P2);
    if (triesLeft == 0) return status(blockedSw);
    const size_t oldLength = pin.size();
    if (a.data.size() < oldLength || !std::equal(pin.begin(), pin.end(), a.data.begin())) {
        wrongPin(&triesLeft, &verified);
        return status(static_cast<uint16_t>(0x63C0 | triesLeft));
    }
    const size_t newLength = a.data.size() - oldLength;
    if (newLength < 4 || newLength > 16) return status(kWrongData);
    pin.assign(a.data.begin() + static_cast<long>(oldLength), a.data.end());
    triesLeft = maxTries;
    verified = true;
    return status(kOk);
}

// Proprietary key list: 00 00 count 00 00, then 4 bytes per key object
// (key id, 01 RSA / 02 EC, 1F for a private key or 00 for a public one, 00).
Reply Card::State::keyList(const Apdu& a) {
    if (profile == Profile::IdentityCard) return status(kInsNotSupported);
    if (a.p1 != 0 || a.p2 != 0 || !a.data.empty()) return status(kWrongP1P2);
    Bytes list{0x00, 0x00, static_cast<uint8_t>(material.size() * 2), 0x00, 0x00};
    for (const KeyMaterial& m : material) {
        uint8_t type = m.setup.type == KeyType::Rsa2048 ? 0x01 : 0x02;
        uint8_t id = static_cast<uint8_t>(m.setup.keyReference);
        list = list + Bytes{id, type, 0x00, 0x00} + Bytes{id, type, 0x1F, 0x00};
    }
    if (a.hasLe && a.ne != 256 && a.ne < list.size()) return status(static_cast<uint16_t>(0x6C00 | list.size()));
    return Reply{list, kOk};
}

Reply Card::State::serialNumber(const Apdu& a) {
    if (profile == Profile::IdentityCard) return status(kInsNotSupported);
    if (a.p1 != 0x00 || a.p2 != 0x11) return status(kWrongP1P2);
    return Reply{cardSerial, kOk};
}

Reply Card::State::dispatch(const Apdu& a) {
    if (a.cla == 0x80) {
        switch (a.ins) {
            case 0x1F: return keyList(a);
            case 0x1B: return serialNumber(a);
            default: return status(kClaNotSupported);
        }
    }
    if (a.cla != 0x00) return status(kClaNotSupported);
    switch (a.ins) {
        case 0xA4: return select(a);
        case 0xB0: return readBinary(a);
        case 0xD6: return updateBinary(a);
        case 0x20: return verify(a);
        case 0x22: return mse(a);
        case 0x2A: return pso(a);
        case 0xC0: return getResponse(a);
        case 0xCA: return getData(a);
        case 0x2C: return resetRetryCounter(a);
        case 0x24: return changeReferenceData(a);
        default: return status(kInsNotSupported);
    }
}

Bytes Card::State::answer(const Bytes& command, bool* pull) {
    *pull = false;
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        bool match = it->ins >= 0 ? (command.size() >= 2 && command[1] == it->ins) : startsWith(command, it->prefix);
        if (!match) continue;
        Rule rule = *it;
        if (it->times > 0 && --it->times == 0) rules.erase(it);
        if (rule.kind == Rule::Pull) {
            *pull = true;
            return {};
        }
        if (rule.kind == Rule::Answer) return rule.answer;
        return {static_cast<uint8_t>(rule.sw >> 8), static_cast<uint8_t>(rule.sw)};
    }
    Apdu a;
    Reply r;
    if (!parseApdu(command, &a)) {
        pending.clear();
        r = status(kWrongLength);
    } else {
        if (!(a.cla == 0x00 && a.ins == 0xC0)) pending.clear();
        r = dispatch(a);
        auto chain = chaining.find(a.ins);
        if (a.ins != 0xC0 && chain != chaining.end() && r.sw == kOk && !r.data.empty()) {
            size_t first = std::min(chain->second.firstPart, r.data.size());
            if (first < r.data.size()) {
                pending.assign(r.data.begin() + static_cast<long>(first), r.data.end());
                pendingChunk = chain->second.perGetResponse;
                r.data.resize(first);
                r.sw = static_cast<uint16_t>(0x6100 | (std::min<size_t>(pending.size(), 256) & 0xFF));
            }
        }
    }
    Bytes out = r.data;
    out.push_back(static_cast<uint8_t>(r.sw >> 8));
    out.push_back(static_cast<uint8_t>(r.sw));
    return out;
}

void Card::State::record(const Bytes& command, const Bytes& response) {
    exchanges.push_back(Exchange{command, response});
    if (options.logToStderr)
        std::fprintf(stderr, "[cardsim %s] C: %s\n[cardsim %s] R: %s\n", profileName(profile), toHex(command).c_str(),
                     profileName(profile), response.empty() ? "(card pulled)" : toHex(response).c_str());
    changed.notify_all();
}

// ------------------------------------------------------------ connection --

namespace {

bool readFully(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        // Delayed ACKs would add ~40 ms to every exchange: re-arm quick ACK
        // before each receive (Linux clears it again on its own).
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool sendMessage(int fd, const Bytes& payload) {
    Bytes msg{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    msg.insert(msg.end(), payload.begin(), payload.end());
    size_t sent = 0;
    while (sent < msg.size()) {
        ssize_t r = send(fd, msg.data() + sent, msg.size() - sent, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        sent += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

void Card::State::serve(int socketFd) {
    for (;;) {
        uint8_t header[2];
        if (!readFully(socketFd, header, 2)) break;
        const size_t length = static_cast<size_t>(header[0]) << 8 | header[1];
        Bytes payload(length);
        if (length && !readFully(socketFd, payload.data(), length)) break;
        if (length == 1) {
            // vpcd control: 0 power off, 1 power on, 2 reset, 4 ATR request.
            Bytes atrCopy;
            {
                std::lock_guard<std::mutex> lock(mutex);
                switch (payload[0]) {
                    case 0: resetSecurity(); break;
                    case 1:
                    case 2:
                        resetSecurity();
                        ++powerUps;
                        break;
                    case 4:
                        ++atrRequests;
                        atrCopy = atr;
                        break;
                    default: break;
                }
                // ATR requests come with every presence poll: too many to echo.
                if (options.logToStderr && payload[0] != 4)
                    std::fprintf(stderr, "[cardsim %s] %s\n", profileName(profile),
                                 payload[0] == 0 ? "power off" : payload[0] == 1 ? "power on" : payload[0] == 2 ? "reset" : "control ?");
                changed.notify_all();
            }
            if (payload[0] == 4 && !sendMessage(socketFd, atrCopy)) break;
            continue;
        }
        if (length == 0) continue;
        Bytes response;
        bool pull = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            response = answer(payload, &pull);
            record(payload, response);
        }
        if (pull) break;
        // A 0-byte answer would leave the reader waiting for ever.
        if (response.empty()) response = {0x6F, 0x00};
        if (!sendMessage(socketFd, response)) break;
    }
    shutdown(socketFd, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(mutex);
    connected = false;
    changed.notify_all();
}

// ------------------------------------------------------------------ Card --

Card::Card(Profile profile, CardOptions options) : state_(std::make_unique<State>()) {
    state_->profile = profile;
    state_->options = std::move(options);
    state_->build();
}

Card::~Card() {
    try {
        remove(std::chrono::seconds(5));
    } catch (...) {
    }
}

Profile Card::profile() const { return state_->profile; }

Bytes Card::atr() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->atr;
}

void Card::setAtr(const Bytes& atr) {
    if (atr.empty() || atr.size() > 33) throw std::invalid_argument("cardsim: an ATR has 1 to 33 bytes");
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->atr = atr;
}

void Card::insertInto(uint16_t port, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::lock_guard<std::mutex> connectionLock(state_->connectionMutex);
    if (state_->connected) throw std::runtime_error("cardsim: the card is already inserted");
    if (state_->thread.joinable()) state_->thread.join();
    if (state_->fd >= 0) {
        close(state_->fd);
        state_->fd = -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("cardsim: socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        close(fd);
        throw std::runtime_error("cardsim: no vpcd reader listens on port " + std::to_string(port) + " (" +
                                 std::strerror(e) + "); is the rig's pcscd running?");
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int atrRequestsBefore;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->connected = true;
        state_->port = port;
        atrRequestsBefore = state_->atrRequests;
    }
    state_->fd = fd;
    State* s = state_.get();
    state_->thread = std::thread([s, fd] { s->serve(fd); });

    // The reader reads the ATR when it notices the card (its polling).
    bool atrRead;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        atrRead = state_->changed.wait_until(lock, deadline, [&] {
            return state_->atrRequests > atrRequestsBefore || !state_->connected;
        }) && state_->connected;
    }
    if (!atrRead) {
        shutdown(fd, SHUT_RDWR);
        state_->thread.join();
        close(fd);
        state_->fd = -1;
        state_->port = 0;
        throw std::runtime_error("cardsim: the reader on port " + std::to_string(port) +
                                 " never asked for the ATR (another card inserted there?)");
    }
    if (const rig::Reader* reader = rig::readerForPort(port)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!rig::waitForCard(reader->name, true, std::max(left, std::chrono::milliseconds(100))))
            throw std::runtime_error(std::string("cardsim: pcscd does not report the card in ") + reader->name);
    }
}

void Card::remove(std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> connectionLock(state_->connectionMutex);
    if (state_->fd < 0) return;
    const uint16_t port = state_->port;
    shutdown(state_->fd, SHUT_RDWR);
    if (state_->thread.joinable()) state_->thread.join();
    close(state_->fd);
    state_->fd = -1;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->port = 0;
        state_->resetSecurity();
    }
    if (const rig::Reader* reader = rig::readerForPort(port)) rig::waitForCard(reader->name, false, wait);
}

bool Card::inserted() const { return state_->connected; }

uint16_t Card::port() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->connected ? state_->port : 0;
}

int Card::powerUps() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->powerUps;
}

std::string Card::pin() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->pin;
}

int Card::pinTriesLeft() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->triesLeft;
}

void Card::setPinTriesLeft(int tries) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (tries < 0 || tries > state_->maxTries) throw std::invalid_argument("cardsim: tries out of range");
    state_->triesLeft = tries;
    if (tries == 0) state_->verified = false;
}

bool Card::pinBlocked() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->triesLeft == 0;
}

bool Card::pinVerified() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->verified;
}

void Card::setBlockedStatusWord(uint16_t sw) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->blockedSw = sw;
}

void Card::setKeypadEntry(std::optional<std::string> entry) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->keypadEntry = std::move(entry);
}

void Card::setRefusal(uint8_t ins, uint16_t sw, int times) {
    if (times == 0 || times < -1) throw std::invalid_argument("cardsim: times is -1 (always) or a positive count");
    Rule r;
    r.kind = Rule::Refuse;
    r.ins = ins;
    r.sw = sw;
    r.times = times;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rules.push_back(r);
}

void Card::setRefusalFor(const Bytes& commandPrefix, uint16_t sw, int times) {
    if (times == 0 || times < -1) throw std::invalid_argument("cardsim: times is -1 (always) or a positive count");
    if (commandPrefix.empty()) throw std::invalid_argument("cardsim: empty command prefix");
    Rule r;
    r.kind = Rule::Refuse;
    r.prefix = commandPrefix;
    r.sw = sw;
    r.times = times;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rules.push_back(r);
}

void Card::setAnswerFor(const Bytes& commandPrefix, const Bytes& rapdu, int times) {
    if (times == 0 || times < -1) throw std::invalid_argument("cardsim: times is -1 (always) or a positive count");
    if (commandPrefix.empty()) throw std::invalid_argument("cardsim: empty command prefix");
    if (rapdu.empty()) throw std::invalid_argument("cardsim: a 0-byte answer hangs the reader; give at least 1 byte");
    Rule r;
    r.kind = Rule::Answer;
    r.prefix = commandPrefix;
    r.answer = rapdu;
    r.times = times;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rules.push_back(r);
}

void Card::setRemovalOn(const Bytes& commandPrefix) {
    if (commandPrefix.empty()) throw std::invalid_argument("cardsim: empty command prefix");
    Rule r;
    r.kind = Rule::Pull;
    r.prefix = commandPrefix;
    r.times = 1;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rules.push_back(r);
}

void Card::clearRules() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rules.clear();
}

void Card::setChaining(uint8_t ins, std::size_t firstPart, std::size_t perGetResponse) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->chaining[ins] = Chaining{firstPart, perGetResponse};
}

void Card::clearChaining() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->chaining.clear();
    state_->pending.clear();
}

void Card::setReadBinaryLimit(std::size_t maxBytes) {
    if (maxBytes == 0 || maxBytes > 256) throw std::invalid_argument("cardsim: read limit out of 1..256");
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->readLimit = maxBytes;
}

void Card::setReportedSize(const FilePath& ef, int size) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    Node* n = state_->find(ef);
    if (!n || n->isDf) throw std::invalid_argument("cardsim: no EF at the path");
    n->reportedSize = size;
}

void Card::setFcpLimit(int bytes) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->fcpLimit = bytes;
}

void Card::putFile(const FilePath& ef, const Bytes& content, bool writable) {
    if (content.size() > 0x7FFF) throw std::invalid_argument("cardsim: files hold at most 32767 bytes");
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->putEf(ef, content, writable);
}

void Card::putDf(const FilePath& df, const std::string& dfName) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    Node* n = state_->putNode(df, true);
    n->dfName.assign(dfName.begin(), dfName.end());
}

void Card::removeFile(const FilePath& path) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    Node* n = state_->find(path);
    if (!n || path.empty()) throw std::invalid_argument("cardsim: no file at the path");
    // Leave no selection pointing into the removed subtree.
    for (Node* c = state_->currentDf; c; c = c->parent)
        if (c == n) state_->currentDf = n->parent;
    if (state_->currentEf == n || (state_->currentEf && state_->currentEf->parent != state_->currentDf))
        state_->currentEf = nullptr;
    auto& siblings = n->parent->children;
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(), [n](const std::unique_ptr<Node>& c) { return c.get() == n; }),
                   siblings.end());
}

bool Card::hasFile(const FilePath& path) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->find(path) != nullptr;
}

Bytes Card::fileContent(const FilePath& ef) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    Node* n = state_->find(ef);
    if (!n || n->isDf) throw std::out_of_range("cardsim: no EF at the path");
    return n->data;
}

FilePath Card::applicationDf() const { return {state_->appDf}; }

const std::vector<KeyMaterial>& Card::keys() const { return state_->material; }

void Card::writeMaterial(const std::string& folder) const {
    mkdir(folder.c_str(), 0755);
    auto write = [&](const std::string& name, const void* data, size_t size) {
        std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) throw std::runtime_error("cardsim: cannot write " + folder + "/" + name);
    };
    const TestCa& ca = testCa();
    write("ca.pem", ca.certificatePem.data(), ca.certificatePem.size());
    int n = 1;
    for (const KeyMaterial& m : state_->material) {
        const std::string i = std::to_string(n++);
        write("key-" + i + ".pem", m.privateKeyPem.data(), m.privateKeyPem.size());
        write("pub-" + i + ".pem", m.publicKeyPem.data(), m.publicKeyPem.size());
        write("cert-" + i + ".pem", m.certificatePem.data(), m.certificatePem.size());
        write("cert-" + i + ".der", m.certificateDer.data(), m.certificateDer.size());
    }
}

std::vector<Exchange> Card::apduLog() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->exchanges;
}

std::vector<std::string> Card::commandLog() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> out;
    out.reserve(state_->exchanges.size());
    for (const Exchange& e : state_->exchanges) out.push_back(toHex(e.command));
    return out;
}

void Card::clearApduLog() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->exchanges.clear();
}

bool Card::waitForExchanges(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->exchanges.size() >= count; });
}

Bytes Card::process(const Bytes& command) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    bool pull = false;
    Bytes response = state_->answer(command, &pull);
    state_->record(command, response);
    return response;
}

}  // namespace cardsim
