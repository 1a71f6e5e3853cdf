// An empty module path must not reach dlopen: dlopen("") hands back the
// program itself, and this program exports a C_GetFunctionList that would then
// be found and "loaded".
#include "tev-pkcs11.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {
std::atomic<int> programEntryCalls{0};
CK_FUNCTION_LIST programFunctions{};
}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    ++programEntryCalls;
    *list = &programFunctions;
    return CKR_OK;
}

TEST(Pkcs11EmptyPath, Is37WithoutLoadingAnything) {
    tev::quessel::pkcs11::SignerContext context;
    EXPECT_EQ(loadPKCS11LibraryDynamically(&context), 37u);
    EXPECT_EQ(context.functionList, nullptr);
    EXPECT_EQ(tev::quessel::pkcs11::initializeSigningContextForSigning(&context), 37);
    std::vector<tev::quessel::pkcs11::PKCS11Card> cards;
    EXPECT_EQ(tev::quessel::pkcs11::listAvailablePKCS11Slots(&context, &cards), 7);
    EXPECT_TRUE(cards.empty());
    EXPECT_EQ(programEntryCalls.load(), 0);
}
