// The built library's exports the open-provider tests call, resolved by
// name from the library file (each test program loads it once).
#ifndef CRTELV_TESTS_OPENSSL_LIBRARY_H
#define CRTELV_TESTS_OPENSSL_LIBRARY_H

#include "test_os.h"

#include "cr_telv.h"

namespace cpki1test {

#define CPKI1TEST_LIBRARY_EXPORTS(X) \
  X(GetCryptObj)                     \
  X(DoneEngine)                      \
  X(SetRootPath)                     \
  X(SetCryptoParamValue)             \
  X(SignData)                        \
  X(VerifyData)                      \
  X(EncodeData)                      \
  X(DecodeData)                      \
  X(GetCurrentUserUID)               \
  X(GetMaxEncodeAddition)            \
  X(GetLastErrorMessage)             \
  X(GetPublicKeyTransferByFile)      \
  X(SavePublicKeyFromTransfer)

struct Library {
  Library() {
    handle = OpenModule(CRTELV_LIBRARY_FILE);
#define CPKI1TEST_RESOLVE(name) name = reinterpret_cast<decltype(&::name)>(handle ? Symbol(handle, #name) : nullptr);
    CPKI1TEST_LIBRARY_EXPORTS(CPKI1TEST_RESOLVE)
#undef CPKI1TEST_RESOLVE
  }
  void *handle = nullptr;
#define CPKI1TEST_FIELD(name) decltype(&::name) name = nullptr;
  CPKI1TEST_LIBRARY_EXPORTS(CPKI1TEST_FIELD)
#undef CPKI1TEST_FIELD
};

}  // namespace cpki1test

#endif  // CRTELV_TESTS_OPENSSL_LIBRARY_H
