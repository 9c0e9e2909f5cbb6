// Loads a variant of the provider double by path and reaches its functions.
#ifndef CRTELV_TESTS_SIM_SIM_SUPPORT_H
#define CRTELV_TESTS_SIM_SIM_SUPPORT_H

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim_cert.h"
#include "sim_control.h"

namespace simtest {

inline std::string VariantFile(const std::string &variant) {
  return std::string(CRTELV_SIMROOT_DIR) + "/" + variant + "/EXE/libcpki1.so";
}

// One loaded variant: every entry point and control function it exports
// (null where it lacks one).
struct Provider {
  explicit Provider(const std::string &variant) : handle(dlopen(VariantFile(variant).c_str(), RTLD_NOW | RTLD_LOCAL)) {
#define SIMTEST_ENTRY(name, type, required) name = reinterpret_cast<type>(Find(#name));
    CPKI1_ENTRY_POINTS(SIMTEST_ENTRY)
#undef SIMTEST_ENTRY
#define SIMTEST_CONTROL(name) name = reinterpret_cast<name##_t>(Find(#name));
    SIM_CONTROL_FUNCTIONS(SIMTEST_CONTROL)
#undef SIMTEST_CONTROL
  }
  ~Provider() {
    if (handle) dlclose(handle);
  }
  Provider(const Provider &) = delete;
  Provider &operator=(const Provider &) = delete;

  void *Find(const char *name) const { return handle ? dlsym(handle, name) : nullptr; }

  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < SimCallCount(); ++i) {
      std::string line(static_cast<size_t>(SimCallText(i, nullptr, 0)) + 1, '\0');
      SimCallText(i, line.data(), static_cast<int32_t>(line.size()));
      line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  std::string LastCall() const {
    auto lines = Calls();
    return lines.empty() ? std::string() : lines.back();
  }

  void *handle;
#define SIMTEST_ENTRY_FIELD(name, type, required) type name = nullptr;
  CPKI1_ENTRY_POINTS(SIMTEST_ENTRY_FIELD)
#undef SIMTEST_ENTRY_FIELD
#define SIMTEST_CONTROL_FIELD(name) name##_t name = nullptr;
  SIM_CONTROL_FUNCTIONS(SIMTEST_CONTROL_FIELD)
#undef SIMTEST_CONTROL_FIELD
};

using crtelv::test::Cert;
using crtelv::test::Has;

inline TelvoraBlob Blob(const void *data, size_t length) {
  return TelvoraBlob{static_cast<int32_t>(length), static_cast<uint8_t *>(const_cast<void *>(data))};
}
inline TelvoraBlob Blob(const std::string &text) { return Blob(text.data(), text.size()); }
inline TelvoraBlob Blob(const char *text) { return Blob(text, std::strlen(text)); }
TelvoraBlob Blob(std::string &&) = delete;  // would point into a temporary
inline std::string Text(const TelvoraBlob &blob) {
  return std::string(reinterpret_cast<const char *>(blob.Data), static_cast<size_t>(blob.Length));
}

// The complete variant, reset, with one session open.
class SimTest : public ::testing::Test {
 protected:
  SimTest() : sim("complete") {}
  void SetUp() override {
    ASSERT_NE(sim.handle, nullptr) << dlerror();
    sim.SimReset();
    TelvoraOpenParams rec{};
    rec.Size = sizeof rec;
    ASSERT_EQ(sim.VCERT_InitializeEx(1, &rec, &session), 0);
  }
  void TearDown() override {
    EXPECT_EQ(sim.SimOutstanding(), 0);
    EXPECT_EQ(sim.SimBadReleases(), 0);
    sim.VCERT_Uninitialize(session);
  }

  // Finds by the given criteria; the result must be released.
  TelvoraFindResult Find(int32_t stores, int32_t matchBy, const char *subject = nullptr, const char *serial = nullptr,
                         const char *issuer = nullptr) {
    TelvoraFindCriteria c{};
    c.Stores = stores;
    c.MatchBy = matchBy;
    c.Subject = subject;
    c.Serial = serial;
    c.Issuer = issuer;
    c.Fields = TELVORA_FIELD_ALL;
    TelvoraFindResult r{};
    EXPECT_EQ(sim.VCERT_FindCert(session, &c, &r), 0);
    return r;
  }
  std::vector<std::string> Subjects(int32_t stores, int32_t matchBy, const char *subject = nullptr,
                                    const char *serial = nullptr, const char *issuer = nullptr) {
    TelvoraFindResult r = Find(stores, matchBy, subject, serial, issuer);
    std::vector<std::string> out;
    for (int32_t i = 0; i < r.Count; ++i) out.emplace_back(r.Certs[i].Subject ? r.Certs[i].Subject : "(null)");
    EXPECT_EQ(sim.VCERT_FreeFindResult(session, &r), 0);
    return out;
  }
  void Free(TelvoraBlob &blob) { EXPECT_EQ(sim.VCERT_FreeMem(session, blob.Data), 0); }

  Provider sim;
  TelvoraSession session = 0;
};

}  // namespace simtest

#endif  // CRTELV_TESTS_SIM_SIM_SUPPORT_H
