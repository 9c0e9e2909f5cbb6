// The parameters of the provider engine, in one table: number, name,
// default value, and the description GetParamInfo gives (kind and info).
// The engine's constructor adds them in this order, FillInitParam reads them
// by number, and the constants below name the numbers.
#ifndef CRTELV_PROVIDER_PROVIDER_PARAMS_H
#define CRTELV_PROVIDER_PROVIDER_PARAMS_H

#include <cstdint>
#include <iterator>
#include <string_view>

namespace crtelv {

// Kinds of a parameter's description: 1 integer range, 2 maximum text
// length, 4 maximum UID (list) length, 7 choices separated by CR LF, 10 file
// mask; 0 with no info for a parameter without a description.
struct TelvoraParamRow {
  int32_t number;  // 1-based, the row's place in the table
  const char *name;
  const char *defaultValue;
  int32_t kind;
  const char *info;
};

inline constexpr TelvoraParamRow kTelvoraParams[] = {
    {1, "Profile", "", 2, "128"},
    {2, "PSE", "A:\\local.pse", 10, "*.pse"},
    {3, "LocalStore", "A:\\local.gdbm", 10, "*.gdbm"},
    {4, "LDAP", "", 2, "512"},
    {5, "Encrypt for UID", "", 4, "255"},
    {6, "Key request time out", "60", 1, "0..2147483640"},
    {7, "Last operation key time out", "5", 1, "0..2147483640"},
    {8, "Client\\Server mode", "", 7, "CLIENT\r\nSERVER"},
    {9, "Server Certificate EKU OID", "", 2, "255"},
    {10, "User UID Location", "CN", 7, "CN\r\nSN"},
    {11, "Sign EKU restrictions", "", 2, "255"},
    {12, "Cash ID", "", 2, "128"},
    {13, "Initialize flags", "", 0, nullptr},
};

inline constexpr int32_t kTelvoraParamCount = static_cast<int32_t>(std::size(kTelvoraParams));

// The number of the parameter of that name; fails to compile for a name the
// table does not hold.
consteval int32_t ParamNumber(std::string_view name) {
  for (const TelvoraParamRow &row : kTelvoraParams) {
    if (name == row.name) return row.number;
  }
  throw "no parameter of that name";
}

// The row of a parameter number; null when out of range.
constexpr const TelvoraParamRow *ParamSpec(int32_t number) {
  return number >= 1 && number <= kTelvoraParamCount ? &kTelvoraParams[number - 1] : nullptr;
}

consteval bool ParamsNumberedInOrder() {
  int32_t expected = 1;
  for (const TelvoraParamRow &row : kTelvoraParams) {
    if (row.number != expected++) return false;
  }
  return true;
}
static_assert(ParamsNumberedInOrder(), "parameter numbers are the rows' places, from 1");

inline constexpr int32_t kParamProfile = ParamNumber("Profile");
inline constexpr int32_t kParamPSE = ParamNumber("PSE");
inline constexpr int32_t kParamLocalStore = ParamNumber("LocalStore");
inline constexpr int32_t kParamLDAP = ParamNumber("LDAP");
inline constexpr int32_t kParamEncryptForUID = ParamNumber("Encrypt for UID");
inline constexpr int32_t kParamKeyRequestTimeout = ParamNumber("Key request time out");
inline constexpr int32_t kParamLastOpTimeout = ParamNumber("Last operation key time out");
inline constexpr int32_t kParamClientServerMode = ParamNumber("Client\\Server mode");
inline constexpr int32_t kParamServerCertEKUOID = ParamNumber("Server Certificate EKU OID");
inline constexpr int32_t kParamUIDLocation = ParamNumber("User UID Location");
inline constexpr int32_t kParamSignEKURestrictions = ParamNumber("Sign EKU restrictions");
inline constexpr int32_t kParamCashID = ParamNumber("Cash ID");
inline constexpr int32_t kParamInitFlags = ParamNumber("Initialize flags");

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_PROVIDER_PARAMS_H
