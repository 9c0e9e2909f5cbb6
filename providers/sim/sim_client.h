// Test-side access to the sim's control functions.
//
// SimApi loads the sim module through the platform layer, the way the
// library loads its provider; the system hands back the module already
// loaded, so the Sim* functions act on the very instance the library calls.
//
//   SimApi sim;
//   ASSERT_TRUE(sim.Load(std::string(CRTELV_SIMROOT_DIR) + "/complete/EXE/cpki1.dll"));
//   sim.Reset();
//   sim.AddCert(cert);
//   ... run the library ...
//   EXPECT_EQ(sim.CallsOf("VCERT_FindCert").size(), 1u);
//   EXPECT_EQ(sim.RecordsOf("VCERT_FindCert")[0].Pick("stores fields"), "stores=1 fields=0x4");
#ifndef CRTELV_PROVIDERS_SIM_SIM_CLIENT_H
#define CRTELV_PROVIDERS_SIM_SIM_CLIENT_H

#include <cstddef>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim_control.h"

// One recorded call taken apart: the entry point and its arguments, each
// value as the line spells it (texts keep their quotes and escapes).
struct SimCall {
  std::string name;
  std::vector<std::pair<std::string, std::string>> args;

  // Splits a line "Name key=value ..." at the spaces outside quoted texts.
  static SimCall Parse(const std::string &line) {
    std::vector<std::string> items(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == ' ' && !quoted) {
        items.emplace_back();
        continue;
      }
      items.back() += line[i];
      if (quoted && line[i] == '\\' && i + 1 < line.size()) {
        items.back() += line[++i];
      } else if (line[i] == '"') {
        quoted = !quoted;
      }
    }
    SimCall call{items[0], {}};
    for (std::size_t i = 1; i < items.size(); ++i) {
      const std::size_t eq = items[i].find('=');
      call.args.emplace_back(items[i].substr(0, eq), eq == std::string::npos ? "" : items[i].substr(eq + 1));
    }
    return call;
  }

  // The value of key, or "(absent)" when the call has no such argument.
  std::string operator[](const std::string &key) const {
    for (const auto &arg : args) {
      if (arg.first == key) return arg.second;
    }
    return "(absent)";
  }

  // "key=value ..." of the keys asked for (separated by spaces), in the order
  // asked, so that one comparison checks several arguments.
  std::string Pick(const std::string &keys) const {
    std::istringstream in(keys);
    std::string out;
    for (std::string key; in >> key;) out += (out.empty() ? "" : " ") + key + "=" + (*this)[key];
    return out;
  }
};

struct SimApi {
  SimApi() = default;
  SimApi(const SimApi &) = delete;
  SimApi &operator=(const SimApi &) = delete;
  ~SimApi() { crtelv::platform::FreeModule(module); }

  // Loads the module file and resolves every control function; false when
  // the file cannot be loaded or lacks one of them.
  bool Load(const std::string &moduleFile) {
    crtelv::platform::FreeModule(module);
    module = crtelv::platform::LoadModule(moduleFile);
    if (!module) return false;
    bool all = true;
#define SIM_CLIENT_RESOLVE(name)                                                                       \
  name = reinterpret_cast<name##_t>(crtelv::platform::FindEntryPoint(module, #name));                  \
  all = all && name != nullptr;
    SIM_CONTROL_FUNCTIONS(SIM_CLIENT_RESOLVE)
#undef SIM_CLIENT_RESOLVE
    return all;
  }

  // Every recorded call line, in call order.
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    int32_t count = SimCallCount();
    for (int32_t i = 0; i < count; ++i) lines.push_back(Call(i));
    return lines;
  }

  // The lines of one entry point ("VCERT_FindCert").
  std::vector<std::string> CallsOf(const std::string &entryPoint) const {
    std::vector<std::string> lines;
    for (auto &line : Calls()) {
      if (line == entryPoint || line.compare(0, entryPoint.size() + 1, entryPoint + " ") == 0) {
        lines.push_back(std::move(line));
      }
    }
    return lines;
  }

  // The calls of one entry point, taken apart.
  std::vector<SimCall> RecordsOf(const std::string &entryPoint) const {
    std::vector<SimCall> calls;
    for (const auto &line : CallsOf(entryPoint)) calls.push_back(SimCall::Parse(line));
    return calls;
  }

  // The names of the entry points called, in call order.
  std::vector<std::string> CallNames() const {
    std::vector<std::string> names;
    for (const auto &line : Calls()) names.push_back(line.substr(0, line.find(' ')));
    return names;
  }

  // Line number index, or an empty text when there is none.
  std::string Call(int32_t index) const {
    int32_t length = SimCallText(index, nullptr, 0);
    if (length < 0) return std::string();
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    SimCallText(index, line.data(), length + 1);
    line.resize(static_cast<std::size_t>(length));
    return line;
  }

  // The encoding the sim uses for a certificate.
  std::vector<uint8_t> Encode(const SimCert &cert) const {
    int32_t length = SimEncodeCert(&cert, nullptr, 0);
    if (length < 0) return {};
    std::vector<uint8_t> bytes(static_cast<std::size_t>(length));
    SimEncodeCert(&cert, bytes.data(), length);
    return bytes;
  }

  void Reset() const { SimReset(); }
  int32_t AddCert(const SimCert &cert) const { return SimAddCert(&cert); }
  void Fail(const char *entryPoint, int32_t status) const { SimSetFailure(entryPoint, status); }

  crtelv::platform::ModuleHandle module = nullptr;
#define SIM_CLIENT_POINTER(name) name##_t name = nullptr;
  SIM_CONTROL_FUNCTIONS(SIM_CLIENT_POINTER)
#undef SIM_CLIENT_POINTER
};

#endif  // CRTELV_PROVIDERS_SIM_SIM_CLIENT_H
