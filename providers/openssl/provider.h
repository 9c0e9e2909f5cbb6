// What the entry-point files of libcpki1.so include: the entry points'
// declarations, their guard, and the services below them (session.h,
// session_registry.h, store_snapshots.h, chain_checks.h, blobs.h, timestamp.h). Each
// entry-point file holds the entry points of one topic, and no service
// file includes this header:
//   sessions.cpp      opening sessions (profiles), error texts, releases
//   stores.cpp        adding certificates and CRLs to the certificate store
//   certificates.cpp  parsing, searching and showing certificates
//   signatures.cpp    hashes, raw and CMS signatures
//   encryption.cpp    CMS encryption
//   keys.cpp          key requests, answers and key store imports
#ifndef CPKI1_OPENSSL_PROVIDER_H
#define CPKI1_OPENSSL_PROVIDER_H

#include <openssl/err.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "blobs.h"
#include "certinfo.h"
#include "chain_checks.h"
#include "core.h"
#include "gost.h"
#include "session.h"
#include "session_registry.h"
#include "store_snapshots.h"
#include "provider/cpki1_api.h"
#include "status.h"
#include "timestamp.h"

#if defined(_WIN32)
#define CPKI1_EXPORT  // cpki1.def names the exports
#else
#define CPKI1_EXPORT __attribute__((visibility("default")))
#endif

#define CPKI1_DECLARE_ENTRY(name, type, required) extern "C" CPKI1_EXPORT std::remove_pointer_t<type> name;
CPKI1_ENTRY_POINTS(CPKI1_DECLARE_ENTRY)
#undef CPKI1_DECLARE_ENTRY

// Diagnostics for tests: blocks and records handed out and not yet released.
// Exported by the tests' build of the provider (cpki1_diagnostics) only.
extern "C" CPKI1_EXPORT int32_t CPKI1_OutstandingBlocks(void);

namespace cpki1 {

// Empties the thread's OpenSSL error queue. Clearing costs a good part of a
// hash of 1 KiB even when there is nothing to clear; a look first is cheap.
inline void ClearErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

// Runs an entry point's body: clean error queue, no exception escapes.
template <class F>
int32_t Guard(F &&body) noexcept {
  ClearErrors();
  int32_t status;
  try {
    status = body();
  } catch (...) {
    status = kInternal;
  }
  ClearErrors();
  return status;
}

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_PROVIDER_H
