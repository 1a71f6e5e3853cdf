/*
 * Reader driver of the test rig that makes a vpcd virtual reader look like a
 * PIN-pad reader: it loads its own copy of the vpcd driver (the file next to
 * this one named "<this file>.vpcd", or $CORVANE_PINPAD_BACKEND), forwards
 * every IFD handler call to it, and answers the PC/SC part 10 feature request
 * CM_IOCTL_GET_FEATURE_REQUEST itself.
 *
 * Feature list (tag, 04, control code big-endian), kept equal to
 * rig::kPinPadFeatures in tests/rig/cardsim/rig-readers.h (the rig tests
 * compare the two):
 *   06 FEATURE_VERIFY_PIN_DIRECT   07 FEATURE_MODIFY_PIN_DIRECT
 *   0A FEATURE_IFD_PIN_PROPERTIES  12 FEATURE_GET_TLV_PROPERTIES
 * with control codes SCARD_CTL_CODE(0x330000 + tag), as the CCID driver
 * numbers them.
 *
 * VERIFY_PIN_DIRECT and MODIFY_PIN_DIRECT send the APDU template of the
 * PIN_VERIFY/MODIFY structure to the card unchanged: the simulated card reads
 * an all-FF PIN block as "the user typed it on the keypad".
 *
 * Built without sanitizers: pcscd loads it.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <PCSC/ifdhandler.h>

#define FEATURE_REQUEST_IOCTL 0x42000D48u
#define FEATURE_CONTROL_CODE(tag) (0x42000000u + 0x330000u + (tag))

static const unsigned char featureTags[] = {0x06, 0x07, 0x0A, 0x12};

typedef RESPONSECODE (*CreateChannelByNameFn)(DWORD, LPSTR);
typedef RESPONSECODE (*CreateChannelFn)(DWORD, DWORD);
typedef RESPONSECODE (*CloseChannelFn)(DWORD);
typedef RESPONSECODE (*GetCapabilitiesFn)(DWORD, DWORD, PDWORD, PUCHAR);
typedef RESPONSECODE (*SetCapabilitiesFn)(DWORD, DWORD, DWORD, PUCHAR);
typedef RESPONSECODE (*SetProtocolParametersFn)(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR);
typedef RESPONSECODE (*PowerIccFn)(DWORD, DWORD, PUCHAR, PDWORD);
typedef RESPONSECODE (*TransmitToIccFn)(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD, PSCARD_IO_HEADER);
typedef RESPONSECODE (*ControlFn)(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD);
typedef RESPONSECODE (*IccPresenceFn)(DWORD);

static struct {
    void* handle;
    CreateChannelByNameFn createChannelByName;
    CreateChannelFn createChannel;
    CloseChannelFn closeChannel;
    GetCapabilitiesFn getCapabilities;
    SetCapabilitiesFn setCapabilities;
    SetProtocolParametersFn setProtocolParameters;
    PowerIccFn powerIcc;
    TransmitToIccFn transmitToIcc;
    ControlFn control;
    IccPresenceFn iccPresence;
} backend;

static pthread_once_t loadOnce = PTHREAD_ONCE_INIT;

static void loadBackend(void) {
    char path[4096];
    const char* override = getenv("CORVANE_PINPAD_BACKEND");
    if (override && *override) {
        snprintf(path, sizeof path, "%s", override);
    } else {
        Dl_info info;
        if (!dladdr((void*)&loadBackend, &info) || !info.dli_fname) {
            fprintf(stderr, "corvane-pinpad: cannot find my own path\n");
            return;
        }
        snprintf(path, sizeof path, "%s.vpcd", info.dli_fname);
    }
    void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        fprintf(stderr, "corvane-pinpad: cannot load %s: %s\n", path, dlerror());
        return;
    }
    backend.createChannelByName = (CreateChannelByNameFn)dlsym(h, "IFDHCreateChannelByName");
    backend.createChannel = (CreateChannelFn)dlsym(h, "IFDHCreateChannel");
    backend.closeChannel = (CloseChannelFn)dlsym(h, "IFDHCloseChannel");
    backend.getCapabilities = (GetCapabilitiesFn)dlsym(h, "IFDHGetCapabilities");
    backend.setCapabilities = (SetCapabilitiesFn)dlsym(h, "IFDHSetCapabilities");
    backend.setProtocolParameters = (SetProtocolParametersFn)dlsym(h, "IFDHSetProtocolParameters");
    backend.powerIcc = (PowerIccFn)dlsym(h, "IFDHPowerICC");
    backend.transmitToIcc = (TransmitToIccFn)dlsym(h, "IFDHTransmitToICC");
    backend.control = (ControlFn)dlsym(h, "IFDHControl");
    backend.iccPresence = (IccPresenceFn)dlsym(h, "IFDHICCPresence");
    backend.handle = h;
}

static int ready(void) {
    pthread_once(&loadOnce, loadBackend);
    return backend.handle != NULL;
}

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    if (!ready() || !backend.createChannelByName) return IFD_COMMUNICATION_ERROR;
    return backend.createChannelByName(Lun, DeviceName);
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    if (!ready() || !backend.createChannel) return IFD_COMMUNICATION_ERROR;
    return backend.createChannel(Lun, Channel);
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    if (!ready() || !backend.closeChannel) return IFD_COMMUNICATION_ERROR;
    return backend.closeChannel(Lun);
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    if (!ready() || !backend.getCapabilities) return IFD_COMMUNICATION_ERROR;
    return backend.getCapabilities(Lun, Tag, Length, Value);
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    if (!ready() || !backend.setCapabilities) return IFD_COMMUNICATION_ERROR;
    return backend.setCapabilities(Lun, Tag, Length, Value);
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2,
                                       UCHAR PTS3) {
    if (!ready() || !backend.setProtocolParameters) return IFD_COMMUNICATION_ERROR;
    return backend.setProtocolParameters(Lun, Protocol, Flags, PTS1, PTS2, PTS3);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    if (!ready() || !backend.powerIcc) return IFD_COMMUNICATION_ERROR;
    return backend.powerIcc(Lun, Action, Atr, AtrLength);
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    if (!ready() || !backend.transmitToIcc) return IFD_COMMUNICATION_ERROR;
    return backend.transmitToIcc(Lun, SendPci, TxBuffer, TxLength, RxBuffer, RxLength, RecvPci);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    if (!ready() || !backend.iccPresence) return IFD_COMMUNICATION_ERROR;
    return backend.iccPresence(Lun);
}

static RESPONSECODE answer(const unsigned char* data, DWORD length, PUCHAR RxBuffer, DWORD RxLength,
                           LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned) *pdwBytesReturned = 0;
    if (!RxBuffer || RxLength < length) return IFD_ERROR_INSUFFICIENT_BUFFER;
    memcpy(RxBuffer, data, length);
    if (pdwBytesReturned) *pdwBytesReturned = length;
    return IFD_SUCCESS;
}

/* Sends the APDU template at `offset` of a PIN_VERIFY/MODIFY structure. */
static RESPONSECODE pinCommand(DWORD Lun, PUCHAR TxBuffer, DWORD TxLength, DWORD offset, PUCHAR RxBuffer,
                               DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned) *pdwBytesReturned = 0;
    if (!TxBuffer || TxLength < offset + 4) return IFD_COMMUNICATION_ERROR;
    DWORD dataLength = (DWORD)TxBuffer[offset - 4] | (DWORD)TxBuffer[offset - 3] << 8 |
                       (DWORD)TxBuffer[offset - 2] << 16 | (DWORD)TxBuffer[offset - 1] << 24;
    if (dataLength < 4 || offset + dataLength > TxLength) return IFD_COMMUNICATION_ERROR;
    SCARD_IO_HEADER pci = {1 /* T=1 */, sizeof(SCARD_IO_HEADER)};
    SCARD_IO_HEADER recvPci = pci;
    DWORD rx = RxLength;
    RESPONSECODE rv = IFDHTransmitToICC(Lun, pci, TxBuffer + offset, dataLength, RxBuffer, &rx, &recvPci);
    if (rv == IFD_SUCCESS && pdwBytesReturned) *pdwBytesReturned = rx;
    return rv;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (dwControlCode == FEATURE_REQUEST_IOCTL) {
        unsigned char tlv[6 * sizeof featureTags];
        DWORD n = 0;
        for (size_t i = 0; i < sizeof featureTags; ++i) {
            DWORD code = FEATURE_CONTROL_CODE(featureTags[i]);
            tlv[n++] = featureTags[i];
            tlv[n++] = 4;
            tlv[n++] = (unsigned char)(code >> 24);
            tlv[n++] = (unsigned char)(code >> 16);
            tlv[n++] = (unsigned char)(code >> 8);
            tlv[n++] = (unsigned char)code;
        }
        return answer(tlv, n, RxBuffer, RxLength, pdwBytesReturned);
    }
    if (dwControlCode == FEATURE_CONTROL_CODE(0x0A)) {
        /* PIN_PROPERTIES_STRUCTURE: wLcdLayout 0 (no display), validation by key, no timeout. */
        static const unsigned char props[] = {0x00, 0x00, 0x02, 0x00};
        return answer(props, sizeof props, RxBuffer, RxLength, pdwBytesReturned);
    }
    if (dwControlCode == FEATURE_CONTROL_CODE(0x12)) {
        static const unsigned char props[] = {
            0x01, 0x02, 0x00, 0x00, /* wLcdLayout */
            0x02, 0x01, 0x02,       /* bEntryValidationCondition: validation key */
            0x03, 0x01, 0x00,       /* bTimeOut2 */
            0x06, 0x01, 0x04,       /* bMinPINSize */
            0x07, 0x01, 0x08,       /* bMaxPINSize */
        };
        return answer(props, sizeof props, RxBuffer, RxLength, pdwBytesReturned);
    }
    if (dwControlCode == FEATURE_CONTROL_CODE(0x06))
        return pinCommand(Lun, TxBuffer, TxLength, 19, RxBuffer, RxLength, pdwBytesReturned);
    if (dwControlCode == FEATURE_CONTROL_CODE(0x07))
        return pinCommand(Lun, TxBuffer, TxLength, 24, RxBuffer, RxLength, pdwBytesReturned);
    if (!ready() || !backend.control) return IFD_ERROR_NOT_SUPPORTED;
    return backend.control(Lun, dwControlCode, TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
}
