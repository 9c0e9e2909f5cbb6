// Allocation failure inside the library: a replaced operator new that
// fails the n-th allocation of an operation, for n = 1, 2, ... until the
// operation runs through without reaching it. Each time the operation
// answers with a code (no exception leaves it), gives back every provider
// result, holds no session or lock (the next run succeeds) and leaves the
// host's buffer as it was when it fails. The provider double in this
// process allocates through the same operator new; its allocations (any
// with the double's code on the stack) are never failed, so that what is
// found is the library's. The operations are called through the exports.
#include <execinfo.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "../sim_cert.h"
#include "cr_telv.h"
#include "library/load_units.h"
#include "provider/provider_engine.h"
#include "sim_client.h"
#include "support/root_path.h"

namespace {
// Allocations counted while armed; the one numbered g_failAt fails.
thread_local bool g_armed = false;
thread_local long g_count = 0;
thread_local long g_failAt = 0;
thread_local bool g_inside = false;

// The address ranges of the provider double's loaded segments.
struct Range {
  uintptr_t low, high;
};
Range g_sim[8];
int g_simRanges = 0;

int FindSim(dl_phdr_info *info, std::size_t, void *) {
  if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "/complete/EXE/") == nullptr) return 0;
  for (int i = 0; i < info->dlpi_phnum && g_simRanges < 8; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
    const uintptr_t low = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
    g_sim[g_simRanges++] = Range{low, low + info->dlpi_phdr[i].p_memsz};
  }
  return 1;
}

// Whether the provider double's code is on the stack.
bool FromSim() {
  void *frames[64];
  const int n = backtrace(frames, 64);
  for (int i = 0; i < n; ++i) {
    const auto at = reinterpret_cast<uintptr_t>(frames[i]);
    for (int r = 0; r < g_simRanges; ++r) {
      if (at >= g_sim[r].low && at < g_sim[r].high) return true;
    }
  }
  return false;
}
}  // namespace

void *operator new(std::size_t size) {
  if (g_armed && !g_inside) {
    g_inside = true;
    const bool counted = !FromSim() && ++g_count == g_failAt;
    g_inside = false;
    if (counted) throw std::bad_alloc();
  }
  if (void *p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

int g_failures = 0;
void Check(bool ok, const std::string &what) {
  if (!ok) {
    ++g_failures;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  }
}

using Host = std::vector<char>;
struct Operation {
  const char *name;
  std::function<Host()> host;
  std::function<int32_t(CrTelvEngine, Host &)> run;
};

}  // namespace

int main() {
  crtelv::LibraryAttach();
  const std::string root = std::string(CRTELV_SIMROOT_DIR) + "/complete/";
  crtelv::SetProcessRoot(root);
  SimApi sim;
  if (!sim.Load(root + "EXE/cpki1.dll")) return 2;
  dl_iterate_phdr(FindSim, nullptr);
  if (g_simRanges == 0) return 2;
  {
    void *warm[4];
    backtrace(warm, 4);  // loads what backtrace needs before any count
  }
  auto restart = [&] {
    crtelv::TTelvoraEngine().ClearCash();
    sim.SimReset();
    SimCert own = crtelv::test::kUser1;
    sim.SimAddCert(&own);
  };
  restart();

  const std::string data = "data for allocation failures";
  const int32_t size = static_cast<int32_t>(data.size());
  auto withData = [&] {
    Host h(8192, '#');
    std::memcpy(h.data(), data.data(), data.size());
    return h;
  };
  auto empty = [] { return Host(16384, '#'); };
  std::vector<char> sign(2048), message = withData(), sealed = withData();
  int32_t signSize = 0, messageSize = size, sealedSize = size;
  {
    crtelv::TTelvoraEngine maker;
    if (maker.SignData(data.data(), size, sign.data(), &signSize, nullptr) != 0 ||
        maker.AddSign(message.data(), &messageSize, 0) != 0 || maker.EncodeData(sealed.data(), &sealedSize, "User1") != 0) {
      return 2;
    }
  }
  const std::vector<Operation> operations = {
      {"SignData", empty,
       [&](CrTelvEngine e, Host &h) {
         int32_t n = 0;
         return ::SignData(e, data.data(), size, h.data(), &n, nullptr);
       }},
      {"VerifyData", [] { return Host(4200, '\0'); },
       [&](CrTelvEngine e, Host &h) { return ::VerifyData(e, data.data(), size, sign.data(), signSize, h.data()); }},
      {"AddSign", withData,
       [&](CrTelvEngine e, Host &h) {
         int32_t n = size;
         return ::AddSign(e, h.data(), &n, 0);
       }},
      {"RemoveSignature", [&] { return message; },
       [&](CrTelvEngine e, Host &h) {
         int32_t n = messageSize;
         char signer[4200];
         return ::RemoveSign(e, h.data(), &n, signer);
       }},
      {"EncodeData", withData,
       [&](CrTelvEngine e, Host &h) {
         int32_t n = size;
         return ::EncodeData(e, h.data(), &n, "User1");
       }},
      {"DecodeData", [&] { return sealed; },
       [&](CrTelvEngine e, Host &h) {
         int32_t n = sealedSize;
         int third = 0;
         return ::DecodeData(e, h.data(), &n, &third);
       }},
      {"HashData", empty,
       [&](CrTelvEngine e, Host &h) {
         int32_t n = 64;
         return ::HashData(e, data.data(), size, 1, h.data(), &n);
       }},
      {"GetCurrentUID", empty, [](CrTelvEngine e, Host &h) { return ::GetCurrentUserUID(e, h.data()); }},
      {"GetPublicKeyTransfer", empty,
       [](CrTelvEngine e, Host &h) { return ::GetPublicKeyTransfer(e, "User1", h.data()); }},
  };

  long injected = 0;
  for (const Operation &op : operations) {
    for (long n = 1;; ++n) {
      const std::string what = std::string(op.name) + " with allocation " + std::to_string(n) + " failing";
      restart();
      CrTelvEngine engine = GetCryptObj(0);
      const Host before = op.host();
      Host host = before;
      int32_t result = 0;
      g_count = 0;
      g_failAt = n;
      g_armed = true;
      try {
        result = op.run(engine, host);
      } catch (...) {
        g_armed = false;
        Check(false, what + ": an exception left the operation");
        ::DoneEngine(engine);
        continue;
      }
      g_armed = false;
      const bool reached = g_count >= n;
      if (!reached) {
        Check(result == 0, what + ": the run without failure failed");
        ::DoneEngine(engine);
        break;
      }
      ++injected;
      if (result != 0) Check(host == before, what + ": host buffer changed");
      Check(sim.SimOutstanding() == 0, what + ": provider memory outstanding");
      Check(sim.SimBadReleases() == 0, what + ": bad release");
      host = before;
      Check(op.run(engine, host) == 0, what + ": the next run failed");
      crtelv::TTelvoraEngine().ClearCash();
      ::DoneEngine(engine);
      Check(sim.SimOpenSessions() == 0, what + ": session left open");
    }
  }
  crtelv::LibraryDetach();
  std::printf("%zu operations, %ld allocation failures injected, %d check(s) failed\n", operations.size(), injected,
              g_failures);
  return g_failures == 0 ? 0 : 1;
}
