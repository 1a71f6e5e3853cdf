/*
 * Fault-injecting PKCS#11 module for tests. It loads a real module (SoftHSM2 by
 * default) and forwards every call to it, except where the environment asks
 * for something else. The environment is read at every call, so a test can
 * change the behaviour between two jobs (not while jobs run on other threads).
 *
 *   P11FAULT_TARGET=<path>       real module (default /usr/lib/softhsm/libsofthsm2.so)
 *   P11FAULT_<fn>_RV=<code>      <fn> (e.g. C_Login) answers <code> (0xA4, 163, ...)
 *                                without calling the real module
 *   P11FAULT_<fn>_CALL=<n>       with _RV: only the n-th call of <fn> since the last
 *                                C_Initialize fails (1-based); other calls forward
 *   P11FAULT_<fn>_SLEEP_MS=<ms>  <fn> sleeps first, then goes on as configured (a module
 *                                hanging in C_Initialize, a C_Login waiting on a PIN pad,
 *                                a C_Sign that takes its time)
 *   P11FAULT_C_Sign_EMPTY=1      C_Sign answers CKR_OK with a signature of 0 bytes
 *   P11FAULT_EC_SOFT_SIGN=1      "software signer": C_SignInit with CKM_RSA_PKCS on an
 *                                EC private key is served with CKM_ECDSA, and C_Sign
 *                                returns the raw r||s as a DER ECDSA-Sig-Value
 *                                SEQUENCE { INTEGER r, INTEGER s }. For tests only.
 *   P11FAULT_TRACE=<file>        one line per call appended: "<fn> <rv in hex>", and
 *                                "<fn> sleeping" when a _SLEEP_MS call starts to sleep
 *
 * <fn> is one of the wrapped functions: C_Initialize C_Finalize C_GetSlotList
 * C_GetSlotInfo C_GetTokenInfo C_OpenSession C_CloseSession C_GetSessionInfo
 * C_Login C_Logout C_GetAttributeValue C_FindObjectsInit C_FindObjects
 * C_FindObjectsFinal C_SignInit C_Sign C_VerifyInit C_Verify C_CreateObject
 * C_GenerateKeyPair C_DestroyObject. Every other function is the real one.
 */
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
static void* real_handle;
static CK_FUNCTION_LIST_PTR real;
static CK_FUNCTION_LIST ours;

/* ---- environment --------------------------------------------------------- */

static const char* env_of(const char* fn, const char* what) {
    char key[128];
    snprintf(key, sizeof key, "P11FAULT_%s_%s", fn, what);
    return getenv(key);
}

#define MAX_COUNTED 32
static struct {
    const char* fn;
    unsigned long calls;
} counters[MAX_COUNTED];

static unsigned long count_call(const char* fn) {
    unsigned long n = 0;
    pthread_mutex_lock(&state_lock);
    for (int i = 0; i < MAX_COUNTED; i++) {
        if (counters[i].fn == NULL || strcmp(counters[i].fn, fn) == 0) {
            counters[i].fn = fn;
            n = ++counters[i].calls;
            break;
        }
    }
    pthread_mutex_unlock(&state_lock);
    return n;
}

static void reset_counters(void) {
    pthread_mutex_lock(&state_lock);
    memset(counters, 0, sizeof counters);
    pthread_mutex_unlock(&state_lock);
}

/* 1 and the code in *rv when the call of `fn` must fail. */
static int injected(const char* fn, CK_RV* rv) {
    unsigned long n = count_call(fn);
    const char* code = env_of(fn, "RV");
    if (!code || !*code) return 0;
    const char* which = env_of(fn, "CALL");
    if (which && *which && strtoul(which, NULL, 0) != n) return 0;
    *rv = strtoul(code, NULL, 0);
    return 1;
}

static void trace_line(const char* line, int len) {
    const char* file = getenv("P11FAULT_TRACE");
    if (!file || !*file || len <= 0) return;
    int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)len) < 0) { /* tracing is best effort */
        }
        close(fd);
    }
}

static CK_RV trace(const char* fn, CK_RV rv) {
    char line[96];
    trace_line(line, snprintf(line, sizeof line, "%s 0x%lx\n", fn, (unsigned long)rv));
    return rv;
}

/* Traces "<fn> sleeping" first, so a test knows when the call is held up. */
static void sleep_if_asked(const char* fn) {
    const char* sleepMs = env_of(fn, "SLEEP_MS");
    if (!sleepMs || !*sleepMs) return;
    char line[96];
    trace_line(line, snprintf(line, sizeof line, "%s sleeping\n", fn));
    long ms = strtol(sleepMs, NULL, 0);
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

#define FORWARD(fn, ...)                               \
    do {                                               \
        CK_RV injected_rv;                             \
        sleep_if_asked(#fn);                           \
        if (injected(#fn, &injected_rv))               \
            return trace(#fn, injected_rv);            \
        return trace(#fn, real->fn(__VA_ARGS__));      \
    } while (0)

/* ---- the software signer -------------------------------------------------- */

#define MAX_SESSIONS 256
static CK_SESSION_HANDLE soft_sessions[MAX_SESSIONS];

static int soft_session_index(CK_SESSION_HANDLE s) {
    for (int i = 0; i < MAX_SESSIONS; i++)
        if (soft_sessions[i] == s) return i;
    return -1;
}

static void soft_mark(CK_SESSION_HANDLE s, int on) {
    pthread_mutex_lock(&state_lock);
    int i = soft_session_index(s);
    if (on && i < 0) {
        i = soft_session_index(0);
        if (i >= 0) soft_sessions[i] = s;
    } else if (!on && i >= 0) {
        soft_sessions[i] = 0;
    }
    pthread_mutex_unlock(&state_lock);
}

static int soft_active(CK_SESSION_HANDLE s) {
    pthread_mutex_lock(&state_lock);
    int on = s != 0 && soft_session_index(s) >= 0;
    pthread_mutex_unlock(&state_lock);
    return on;
}

/* DER INTEGER of an unsigned big-endian number; returns bytes written. */
static size_t der_integer(const unsigned char* v, size_t n, unsigned char* out) {
    while (n > 1 && v[0] == 0) {
        v++;
        n--;
    }
    size_t pad = (v[0] & 0x80) ? 1 : 0;
    size_t o = 0;
    out[o++] = 0x02;
    out[o++] = (unsigned char)(n + pad);
    if (pad) out[o++] = 0;
    memcpy(out + o, v, n);
    return o + n;
}

/* r||s (each half n bytes) to SEQUENCE { INTEGER r, INTEGER s }. */
static size_t ecdsa_raw_to_der(const unsigned char* raw, size_t rawLen, unsigned char* out) {
    unsigned char body[300];
    size_t half = rawLen / 2;
    size_t b = der_integer(raw, half, body);
    b += der_integer(raw + half, half, body + b);
    size_t o = 0;
    out[o++] = 0x30;
    if (b > 127) out[o++] = 0x81;
    out[o++] = (unsigned char)b;
    memcpy(out + o, body, b);
    return o + b;
}

/* ---- wrapped functions ------------------------------------------------------ */

static CK_RV w_Initialize(CK_VOID_PTR args) {
    reset_counters();
    FORWARD(C_Initialize, args);
}
static CK_RV w_Finalize(CK_VOID_PTR r) { FORWARD(C_Finalize, r); }
static CK_RV w_GetSlotList(CK_BBOOL p, CK_SLOT_ID_PTR l, CK_ULONG_PTR c) { FORWARD(C_GetSlotList, p, l, c); }
static CK_RV w_GetSlotInfo(CK_SLOT_ID s, CK_SLOT_INFO_PTR i) { FORWARD(C_GetSlotInfo, s, i); }
static CK_RV w_GetTokenInfo(CK_SLOT_ID s, CK_TOKEN_INFO_PTR i) { FORWARD(C_GetTokenInfo, s, i); }
static CK_RV w_OpenSession(CK_SLOT_ID s, CK_FLAGS f, CK_VOID_PTR a, CK_NOTIFY n, CK_SESSION_HANDLE_PTR h) {
    FORWARD(C_OpenSession, s, f, a, n, h);
}
static CK_RV w_CloseSession(CK_SESSION_HANDLE s) {
    soft_mark(s, 0);
    FORWARD(C_CloseSession, s);
}
static CK_RV w_GetSessionInfo(CK_SESSION_HANDLE s, CK_SESSION_INFO_PTR i) { FORWARD(C_GetSessionInfo, s, i); }
static CK_RV w_Login(CK_SESSION_HANDLE s, CK_USER_TYPE u, CK_UTF8CHAR_PTR p, CK_ULONG l) {
    FORWARD(C_Login, s, u, p, l);
}
static CK_RV w_Logout(CK_SESSION_HANDLE s) { FORWARD(C_Logout, s); }
static CK_RV w_GetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG c) {
    FORWARD(C_GetAttributeValue, s, o, t, c);
}
static CK_RV w_FindObjectsInit(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG c) {
    FORWARD(C_FindObjectsInit, s, t, c);
}
static CK_RV w_FindObjects(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE_PTR o, CK_ULONG m, CK_ULONG_PTR c) {
    FORWARD(C_FindObjects, s, o, m, c);
}
static CK_RV w_FindObjectsFinal(CK_SESSION_HANDLE s) { FORWARD(C_FindObjectsFinal, s); }
static CK_RV w_VerifyInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) { FORWARD(C_VerifyInit, s, m, k); }
static CK_RV w_Verify(CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG dl, CK_BYTE_PTR g, CK_ULONG gl) {
    FORWARD(C_Verify, s, d, dl, g, gl);
}
static CK_RV w_CreateObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG c, CK_OBJECT_HANDLE_PTR o) {
    FORWARD(C_CreateObject, s, t, c, o);
}
static CK_RV w_GenerateKeyPair(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pt, CK_ULONG pc,
                               CK_ATTRIBUTE_PTR kt, CK_ULONG kc, CK_OBJECT_HANDLE_PTR pub,
                               CK_OBJECT_HANDLE_PTR priv) {
    FORWARD(C_GenerateKeyPair, s, m, pt, pc, kt, kc, pub, priv);
}
static CK_RV w_DestroyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o) { FORWARD(C_DestroyObject, s, o); }

static CK_RV w_SignInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) {
    CK_RV rv;
    sleep_if_asked("C_SignInit");
    if (injected("C_SignInit", &rv)) return trace("C_SignInit", rv);
    const char* soft = getenv("P11FAULT_EC_SOFT_SIGN");
    soft_mark(s, 0);
    if (soft && *soft && *soft != '0' && m && m->mechanism == CKM_RSA_PKCS) {
        CK_KEY_TYPE type = (CK_KEY_TYPE)-1;
        CK_ATTRIBUTE a = {CKA_KEY_TYPE, &type, sizeof type};
        if (real->C_GetAttributeValue(s, k, &a, 1) == CKR_OK && type == CKK_EC) {
            CK_MECHANISM ecdsa = {CKM_ECDSA, NULL, 0};
            rv = real->C_SignInit(s, &ecdsa, k);
            if (rv == CKR_OK) soft_mark(s, 1);
            return trace("C_SignInit", rv);
        }
    }
    return trace("C_SignInit", real->C_SignInit(s, m, k));
}

static CK_RV w_Sign(CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG dl, CK_BYTE_PTR sig, CK_ULONG_PTR sl) {
    CK_RV rv;
    sleep_if_asked("C_Sign");
    if (injected("C_Sign", &rv)) return trace("C_Sign", rv);
    const char* empty = env_of("C_Sign", "EMPTY");
    if (empty && *empty && *empty != '0') {
        /* finish the real operation, then report nothing */
        unsigned char scratch[1024];
        CK_ULONG n = sizeof scratch;
        real->C_Sign(s, d, dl, scratch, &n);
        soft_mark(s, 0);
        *sl = 0;
        return trace("C_Sign", CKR_OK);
    }
    if (!soft_active(s)) return trace("C_Sign", real->C_Sign(s, d, dl, sig, sl));
    if (sig == NULL) {
        CK_ULONG rawLen = 0;
        rv = real->C_Sign(s, d, dl, NULL, &rawLen);
        if (rv == CKR_OK) *sl = rawLen + 9;
        return trace("C_Sign", rv);
    }
    unsigned char raw[264];
    CK_ULONG rawLen = sizeof raw;
    rv = real->C_Sign(s, d, dl, raw, &rawLen);
    soft_mark(s, 0);
    if (rv != CKR_OK) return trace("C_Sign", rv);
    unsigned char der[300];
    size_t derLen = ecdsa_raw_to_der(raw, rawLen, der);
    if (*sl < derLen) {
        *sl = derLen;
        return trace("C_Sign", CKR_BUFFER_TOO_SMALL);
    }
    memcpy(sig, der, derLen);
    *sl = derLen;
    return trace("C_Sign", CKR_OK);
}

/* ---- entry ------------------------------------------------------------------ */

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    pthread_mutex_lock(&state_lock);
    if (!real) {
        const char* target = getenv("P11FAULT_TARGET");
        if (!target || !*target) target = "/usr/lib/softhsm/libsofthsm2.so";
        real_handle = dlopen(target, RTLD_NOW | RTLD_LOCAL);
        CK_C_GetFunctionList get =
            real_handle ? (CK_C_GetFunctionList)dlsym(real_handle, "C_GetFunctionList") : NULL;
        CK_FUNCTION_LIST_PTR found = NULL;
        if (get && get(&found) == CKR_OK && found) {
            real = found;
            ours = *found;
            ours.C_Initialize = w_Initialize;
            ours.C_Finalize = w_Finalize;
            ours.C_GetSlotList = w_GetSlotList;
            ours.C_GetSlotInfo = w_GetSlotInfo;
            ours.C_GetTokenInfo = w_GetTokenInfo;
            ours.C_OpenSession = w_OpenSession;
            ours.C_CloseSession = w_CloseSession;
            ours.C_GetSessionInfo = w_GetSessionInfo;
            ours.C_Login = w_Login;
            ours.C_Logout = w_Logout;
            ours.C_GetAttributeValue = w_GetAttributeValue;
            ours.C_FindObjectsInit = w_FindObjectsInit;
            ours.C_FindObjects = w_FindObjects;
            ours.C_FindObjectsFinal = w_FindObjectsFinal;
            ours.C_SignInit = w_SignInit;
            ours.C_Sign = w_Sign;
            ours.C_VerifyInit = w_VerifyInit;
            ours.C_Verify = w_Verify;
            ours.C_CreateObject = w_CreateObject;
            ours.C_GenerateKeyPair = w_GenerateKeyPair;
            ours.C_DestroyObject = w_DestroyObject;
        } else if (real_handle) {
            dlclose(real_handle);
            real_handle = NULL;
        }
    }
    CK_RV rv = real ? CKR_OK : CKR_GENERAL_ERROR;
    if (real) *list = &ours;
    pthread_mutex_unlock(&state_lock);
    return trace("C_GetFunctionList", rv);
}

/* Unloading this module unloads the real one with it. */
__attribute__((destructor)) static void p11fault_unload(void) {
    if (real_handle) dlclose(real_handle);
    real_handle = NULL;
    real = NULL;
}
