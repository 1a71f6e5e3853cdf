/*
 * An in-memory PKCS#11 token for the XAdES fuzz target: one slot, one token
 * holding one RSA certificate and the private-key object that belongs to it.
 * It lets the enveloped XAdES road run up to and past the token's signature
 * with no hardware, no SoftHSM store and no file written, thousands of times a
 * second.
 *
 * The certificate is handed in by the fuzz target before the first job
 * (corvane_fuzz_token_set_certificate); the target keeps the module loaded, so
 * the engine's dlopen/dlclose per job only counts references and this state
 * survives. C_Sign does not compute anything: it answers a fixed pattern of the
 * key's size, which is all the builder needs to finish its document.
 *
 * Single-threaded by contract (the engine runs one job at a time here), except
 * that C_Initialize comes on the engine's worker thread, after which the job's
 * thread goes on; a mutex keeps that hand-over ordered.
 */
#include <p11-kit/pkcs11.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

enum { kSlot = 1, kSession = 7, kCertificate = 1, kPrivateKey = 2, kMaxAttributes = 12, kMaxFound = 4 };

struct attribute {
    CK_ATTRIBUTE_TYPE type;
    const void* value;
    CK_ULONG length;
};

struct object {
    CK_OBJECT_HANDLE handle;
    struct attribute attributes[kMaxAttributes];
    int count;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int initialized;
static int session_open;
static int logged_in;
static int sign_ready;
static CK_OBJECT_HANDLE found[kMaxFound];
static CK_ULONG found_count, found_next;
static int finding;

static unsigned char* certificate_der;
static CK_ULONG certificate_length;
static CK_ULONG modulus_bytes = 256;

static const CK_OBJECT_CLASS class_certificate = CKO_CERTIFICATE;
static const CK_OBJECT_CLASS class_private_key = CKO_PRIVATE_KEY;
static const CK_CERTIFICATE_TYPE x509_type = CKC_X_509;
static const CK_KEY_TYPE rsa_type = CKK_RSA;
static const CK_BBOOL yes = CK_TRUE;
static const char label[] = "fuzz-signer";
static const unsigned char id[] = {0x01};

static struct object objects[2];

static void add(struct object* o, CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
    o->attributes[o->count].type = type;
    o->attributes[o->count].value = value;
    o->attributes[o->count].length = length;
    o->count++;
}

static void build_objects(void) {
    memset(objects, 0, sizeof objects);
    struct object* c = &objects[0];
    c->handle = kCertificate;
    add(c, CKA_CLASS, &class_certificate, sizeof class_certificate);
    add(c, CKA_CERTIFICATE_TYPE, &x509_type, sizeof x509_type);
    add(c, CKA_TOKEN, &yes, sizeof yes);
    add(c, CKA_LABEL, label, sizeof label - 1);
    add(c, CKA_ID, id, sizeof id);
    add(c, CKA_VALUE, certificate_der, certificate_length);
    struct object* k = &objects[1];
    k->handle = kPrivateKey;
    add(k, CKA_CLASS, &class_private_key, sizeof class_private_key);
    add(k, CKA_KEY_TYPE, &rsa_type, sizeof rsa_type);
    add(k, CKA_TOKEN, &yes, sizeof yes);
    add(k, CKA_PRIVATE, &yes, sizeof yes);
    add(k, CKA_SIGN, &yes, sizeof yes);
    add(k, CKA_LABEL, label, sizeof label - 1);
    add(k, CKA_ID, id, sizeof id);
}

/* The fuzz target hands in the certificate (DER) and the key's size in bytes. */
EXPORT void corvane_fuzz_token_set_certificate(const unsigned char* der, unsigned long length,
                                               unsigned long key_bytes) {
    pthread_mutex_lock(&lock);
    free(certificate_der);
    certificate_der = malloc(length ? length : 1);
    memcpy(certificate_der, der, length);
    certificate_length = length;
    modulus_bytes = key_bytes;
    build_objects();
    pthread_mutex_unlock(&lock);
}

static struct object* object_of(CK_OBJECT_HANDLE handle) {
    for (int i = 0; i < 2; i++)
        if (objects[i].handle == handle && handle != 0) return &objects[i];
    return NULL;
}

static const struct attribute* attribute_of(const struct object* o, CK_ATTRIBUTE_TYPE type) {
    for (int i = 0; i < o->count; i++)
        if (o->attributes[i].type == type) return &o->attributes[i];
    return NULL;
}

static void pad(unsigned char* field, size_t size, const char* text) {
    memset(field, ' ', size);
    memcpy(field, text, strlen(text) < size ? strlen(text) : size);
}

/* ---- general ------------------------------------------------------------- */

static CK_RV fuzz_Initialize(void* args) {
    (void)args;
    pthread_mutex_lock(&lock);
    CK_RV rv = initialized ? CKR_CRYPTOKI_ALREADY_INITIALIZED : CKR_OK;
    initialized = 1;
    pthread_mutex_unlock(&lock);
    return rv;
}

static CK_RV fuzz_Finalize(void* reserved) {
    (void)reserved;
    pthread_mutex_lock(&lock);
    CK_RV rv = initialized ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED;
    initialized = session_open = logged_in = sign_ready = finding = 0;
    pthread_mutex_unlock(&lock);
    return rv;
}

static CK_RV fuzz_GetInfo(CK_INFO_PTR info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    memset(info, 0, sizeof *info);
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 40;
    pad(info->manufacturerID, sizeof info->manufacturerID, "Corvane fuzz");
    pad(info->libraryDescription, sizeof info->libraryDescription, "in-memory token");
    return CKR_OK;
}

static CK_RV fuzz_GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    (void)present;
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!count) return CKR_ARGUMENTS_BAD;
    if (list) {
        if (*count < 1) {
            *count = 1;
            return CKR_BUFFER_TOO_SMALL;
        }
        list[0] = kSlot;
    }
    *count = 1;
    return CKR_OK;
}

static CK_RV fuzz_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    memset(info, 0, sizeof *info);
    pad(info->slotDescription, sizeof info->slotDescription, "fuzz slot");
    pad(info->manufacturerID, sizeof info->manufacturerID, "Corvane fuzz");
    info->flags = CKF_TOKEN_PRESENT;
    return CKR_OK;
}

static CK_RV fuzz_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    memset(info, 0, sizeof *info);
    pad(info->label, sizeof info->label, "corvane-fuzz");
    pad(info->manufacturerID, sizeof info->manufacturerID, "Corvane fuzz");
    pad(info->model, sizeof info->model, "memory");
    pad(info->serialNumber, sizeof info->serialNumber, "0001");
    info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;
    info->ulMaxPinLen = 64;
    info->ulMinPinLen = 1;
    return CKR_OK;
}

/* ---- sessions ------------------------------------------------------------ */

static CK_RV fuzz_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify,
                              CK_SESSION_HANDLE_PTR session) {
    (void)flags;
    (void)app;
    (void)notify;
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!session) return CKR_ARGUMENTS_BAD;
    session_open = 1;
    *session = kSession;
    return CKR_OK;
}

static CK_RV check_session(CK_SESSION_HANDLE session) {
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return session == kSession && session_open ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

static CK_RV fuzz_CloseSession(CK_SESSION_HANDLE session) {
    CK_RV rv = check_session(session);
    if (rv == CKR_OK) session_open = logged_in = sign_ready = finding = 0;
    return rv;
}

static CK_RV fuzz_CloseAllSessions(CK_SLOT_ID slot) {
    if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    session_open = logged_in = sign_ready = finding = 0;
    return CKR_OK;
}

static CK_RV fuzz_GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (!info) return CKR_ARGUMENTS_BAD;
    memset(info, 0, sizeof *info);
    info->slotID = kSlot;
    info->state = logged_in ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    info->flags = CKF_SERIAL_SESSION;
    return CKR_OK;
}

static CK_RV fuzz_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    (void)user;
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (!pin && length) return CKR_ARGUMENTS_BAD;
    if (logged_in) return CKR_USER_ALREADY_LOGGED_IN;
    logged_in = 1;
    return CKR_OK;
}

static CK_RV fuzz_Logout(CK_SESSION_HANDLE session) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    logged_in = 0;
    return CKR_OK;
}

/* ---- objects ------------------------------------------------------------- */

static CK_RV fuzz_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR templ,
                                    CK_ULONG count) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    const struct object* o = object_of(handle);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; i++) {
        const struct attribute* a = attribute_of(o, templ[i].type);
        if (!a) {
            templ[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!templ[i].pValue) {
            templ[i].ulValueLen = a->length;
        } else if (templ[i].ulValueLen < a->length) {
            templ[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_BUFFER_TOO_SMALL;
        } else {
            memcpy(templ[i].pValue, a->value, a->length);
            templ[i].ulValueLen = a->length;
        }
    }
    return result;
}

static int matches(const struct object* o, const CK_ATTRIBUTE* templ, CK_ULONG count) {
    if (o->handle == kPrivateKey && !logged_in) return 0; /* private objects need a login */
    for (CK_ULONG i = 0; i < count; i++) {
        const struct attribute* a = attribute_of(o, templ[i].type);
        if (!a || a->length != templ[i].ulValueLen) return 0;
        if (a->length && (!templ[i].pValue || memcmp(a->value, templ[i].pValue, a->length) != 0)) return 0;
    }
    return 1;
}

static CK_RV fuzz_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (finding) return CKR_OPERATION_ACTIVE;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    found_count = found_next = 0;
    for (int i = 0; i < 2; i++)
        if (certificate_der && matches(&objects[i], templ, count)) found[found_count++] = objects[i].handle;
    finding = 1;
    return CKR_OK;
}

static CK_RV fuzz_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR handles, CK_ULONG max,
                              CK_ULONG_PTR count) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (!finding) return CKR_OPERATION_NOT_INITIALIZED;
    if (!count || (!handles && max)) return CKR_ARGUMENTS_BAD;
    *count = 0;
    while (*count < max && found_next < found_count) handles[(*count)++] = found[found_next++];
    return CKR_OK;
}

static CK_RV fuzz_FindObjectsFinal(CK_SESSION_HANDLE session) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (!finding) return CKR_OPERATION_NOT_INITIALIZED;
    finding = 0;
    return CKR_OK;
}

/* ---- signing ------------------------------------------------------------- */

static CK_RV fuzz_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (!mechanism) return CKR_ARGUMENTS_BAD;
    if (mechanism->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
    if (key != kPrivateKey) return CKR_KEY_HANDLE_INVALID;
    if (!logged_in) return CKR_USER_NOT_LOGGED_IN;
    sign_ready = 1;
    return CKR_OK;
}

static CK_RV fuzz_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
                       CK_ULONG_PTR signature_length) {
    CK_RV rv = check_session(session);
    if (rv != CKR_OK) return rv;
    if (!sign_ready) return CKR_OPERATION_NOT_INITIALIZED;
    if ((!data && length) || !signature_length) return CKR_ARGUMENTS_BAD;
    /* PKCS#1 v1.5 leaves room for at least 11 bytes of padding. */
    if (length + 11 > modulus_bytes) {
        sign_ready = 0;
        return CKR_DATA_LEN_RANGE;
    }
    if (!signature) {
        *signature_length = modulus_bytes;
        return CKR_OK;
    }
    if (*signature_length < modulus_bytes) {
        *signature_length = modulus_bytes;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < modulus_bytes; i++) signature[i] = (CK_BYTE)(i * 31 + (length ? data[i % length] : 0));
    *signature_length = modulus_bytes;
    sign_ready = 0;
    return CKR_OK;
}

/* Every function the token does not offer. Called through the member's own
   pointer type; it reads none of its arguments. */
static CK_RV fuzz_unsupported(void) { return CKR_FUNCTION_NOT_SUPPORTED; }

static CK_FUNCTION_LIST function_list;

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
#define UNSUPPORTED(name) function_list.name = (CK_##name)(void (*)(void))fuzz_unsupported
    UNSUPPORTED(C_GetMechanismList);
    UNSUPPORTED(C_GetMechanismInfo);
    UNSUPPORTED(C_InitToken);
    UNSUPPORTED(C_InitPIN);
    UNSUPPORTED(C_SetPIN);
    UNSUPPORTED(C_GetOperationState);
    UNSUPPORTED(C_SetOperationState);
    UNSUPPORTED(C_CreateObject);
    UNSUPPORTED(C_CopyObject);
    UNSUPPORTED(C_DestroyObject);
    UNSUPPORTED(C_GetObjectSize);
    UNSUPPORTED(C_SetAttributeValue);
    UNSUPPORTED(C_EncryptInit);
    UNSUPPORTED(C_Encrypt);
    UNSUPPORTED(C_EncryptUpdate);
    UNSUPPORTED(C_EncryptFinal);
    UNSUPPORTED(C_DecryptInit);
    UNSUPPORTED(C_Decrypt);
    UNSUPPORTED(C_DecryptUpdate);
    UNSUPPORTED(C_DecryptFinal);
    UNSUPPORTED(C_DigestInit);
    UNSUPPORTED(C_Digest);
    UNSUPPORTED(C_DigestUpdate);
    UNSUPPORTED(C_DigestKey);
    UNSUPPORTED(C_DigestFinal);
    UNSUPPORTED(C_SignUpdate);
    UNSUPPORTED(C_SignFinal);
    UNSUPPORTED(C_SignRecoverInit);
    UNSUPPORTED(C_SignRecover);
    UNSUPPORTED(C_VerifyInit);
    UNSUPPORTED(C_Verify);
    UNSUPPORTED(C_VerifyUpdate);
    UNSUPPORTED(C_VerifyFinal);
    UNSUPPORTED(C_VerifyRecoverInit);
    UNSUPPORTED(C_VerifyRecover);
    UNSUPPORTED(C_DigestEncryptUpdate);
    UNSUPPORTED(C_DecryptDigestUpdate);
    UNSUPPORTED(C_SignEncryptUpdate);
    UNSUPPORTED(C_DecryptVerifyUpdate);
    UNSUPPORTED(C_GenerateKey);
    UNSUPPORTED(C_GenerateKeyPair);
    UNSUPPORTED(C_WrapKey);
    UNSUPPORTED(C_UnwrapKey);
    UNSUPPORTED(C_DeriveKey);
    UNSUPPORTED(C_SeedRandom);
    UNSUPPORTED(C_GenerateRandom);
    UNSUPPORTED(C_GetFunctionStatus);
    UNSUPPORTED(C_CancelFunction);
    UNSUPPORTED(C_WaitForSlotEvent);
#undef UNSUPPORTED
    function_list.version.major = 2;
    function_list.version.minor = 40;
    function_list.C_Initialize = fuzz_Initialize;
    function_list.C_Finalize = fuzz_Finalize;
    function_list.C_GetInfo = fuzz_GetInfo;
    function_list.C_GetFunctionList = C_GetFunctionList;
    function_list.C_GetSlotList = fuzz_GetSlotList;
    function_list.C_GetSlotInfo = fuzz_GetSlotInfo;
    function_list.C_GetTokenInfo = fuzz_GetTokenInfo;
    function_list.C_OpenSession = fuzz_OpenSession;
    function_list.C_CloseSession = fuzz_CloseSession;
    function_list.C_CloseAllSessions = fuzz_CloseAllSessions;
    function_list.C_GetSessionInfo = fuzz_GetSessionInfo;
    function_list.C_Login = fuzz_Login;
    function_list.C_Logout = fuzz_Logout;
    function_list.C_GetAttributeValue = fuzz_GetAttributeValue;
    function_list.C_FindObjectsInit = fuzz_FindObjectsInit;
    function_list.C_FindObjects = fuzz_FindObjects;
    function_list.C_FindObjectsFinal = fuzz_FindObjectsFinal;
    function_list.C_SignInit = fuzz_SignInit;
    function_list.C_Sign = fuzz_Sign;
    *list = &function_list;
    return CKR_OK;
}
