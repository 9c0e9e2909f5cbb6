// The recording provider double ("sim"): the 47 VCERT_ entry points of the
// cpki1 provider interface, answered from an in-memory certificate set, plus
// the Sim* control functions of sim_control.h.
//
// Variants (compile definitions):
//   SIM_WITHOUT_OPTIONAL  no VCERT_SignHashMem and VCERT_VerifyHashMem
//   SIM_WITHOUT_MATCH     no VCERT_Match (a required entry point)
//
// Behaviour in short:
//   - Sessions: VCERT_Initialize / VCERT_InitializeEx hand out 1, 2, 3, ...
//     (never the same number twice in a process, also across SimReset, which
//     forgets the open ones); any call with a session that is not open
//     returns SIM_E_BAD_SESSION.
//   - VCERT_FindCert selects the certificates whose store bit is in Stores
//     and that satisfy every condition named by MatchBy, read as a mask:
//     1 issuer (exact text), 2 serial (exact text), 4 subject filter
//     ("CN=name" matches a subject whose CN value, up to "," or the end,
//     is name; another filter must equal the whole subject), 0x400 all
//     listed EKU OIDs present. 0 matches every certificate in the selected
//     stores; any other bit gives SIM_E_BAD_ARGUMENT. Results keep the order
//     of SimAddCert. Every field of every record is filled whatever the
//     Fields mask asks for (the mask is only recorded).
//   - Keys: a certificate's key is named by its KeyReference, or by issuer
//     and serial when it has none. "The session's key" is the first own
//     certificate (Store 1), or the own certificate whose KeyReference is the
//     selector's KeyRef when the call carries a selector.
//   - VCERT_SignMem: Flags bit 2 makes a detached signature (the library's
//     3), otherwise the data is carried inside (the library's 1). The
//     signature holds the signer's encoded certificate.
//   - VCERT_VerifyMem: one signer (see SimSetSignerCount) whose Cert is the
//     certificate carried in the signature; content (when asked for) gets the
//     carried data, or a copy of the detached data.
//     SimSetNullSignerCert makes every signer's Cert null.
//   - Blobs handed out can be given a shape the library must refuse
//     (SimSetOutputShape): longer, with another Length, or without data.
//   - VCERT_DecryptMem opens a message with an own certificate's key only;
//     sender gets the certificate of the session key that encrypted it.
//   - VCERT_AddCertificate adds a known or made-up encoding to the others'
//     store (Store 2); VCERT_AddCRL accepts bytes starting with
//     SIM_CRL_MAGIC. VCERT_ImportMem/VCERT_ImportFile with kind 8 need a
//     certificate encoding, which goes to the own store; other kinds take
//     any bytes (a certificate encoding among them also goes to the own
//     store). VCERT_ExportMem returns the text "SIMREQ kind=<k> n=<count>".
//   - Unused entry points return SIM_E_NOT_IMPLEMENTED.
//   - Every block and record handed out is tracked until its matching
//     release; records (TelvoraCertInfo) carry a tag in their unused bytes
//     at offset 48 by which VCERT_FreeCert and VCERT_FreeDecryptResult find
//     them. A release with the wrong entry point, another session, an
//     unknown or already released pointer counts as a bad release and
//     returns SIM_E_BAD_ARGUMENT without freeing anything. VCERT_FreeMem of
//     null does nothing. Released records are zeroed.
//
// Call lines (SimCallText): "<entry point> key=value ...", texts quoted with
// '"' ('"', '\' and control bytes escaped as \" \\ \xNN), absent texts and
// records as none, Fields masks as 0x<upper-case hex>, other numbers (MatchBy
// too) in decimal. Keys per entry point:
//   VCERT_Initialize       profile flags
//   VCERT_InitializeEx     version size flags pse store ldap   (rec=none when null)
//   VCERT_Uninitialize     session
//   VCERT_GetErrorText     code size
//   VCERT_HashMem          session length
//   VCERT_SignMem          session flags selector length reserved(null|set)
//   VCERT_VerifyMem        session flags selector option fields data(length|none) signature content(yes|no)
//   VCERT_EncryptMem       session flags selector recipients serials(";"-joined) length
//   VCERT_DecryptMem       session flags selector length sender(yes|no)
//   VCERT_FindCert         session stores matchBy issuer serial subject ekus(";"-joined) fields selector
//   VCERT_AddCertificate   session flags selector length
//   VCERT_AddCRL           session flags selector length
//   VCERT_ParseCert        session length fields
//   VCERT_FreeMem          session kind
//   VCERT_FreeCert         session kind
//   VCERT_FreeVerifyResult session kind
//   VCERT_FreeDecryptResult session kind
//   VCERT_FreeFindResult   session kind count
//   VCERT_ShowCertificate  session length subject
//   VCERT_ImportMem        session kind auth length
//   VCERT_ImportFile       session kind auth file
//   VCERT_ExportMem        session kind auth
//   VCERT_SignHashMem      session flags length
//   VCERT_VerifyHashMem    session flags cert hash signature   (lengths)
//   unused entry points    the name alone
// selector/auth is the AuthRecord's KeyRef text, or none. The kind of a
// release is what the sim knows the pointer as: blob, find, parse, verify,
// decrypt, or unknown.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "provider/cpki1_api.h"
#include "sim_codec.h"
#include "sim_control.h"

#if defined(_WIN32)
#define SIM_EXPORT __declspec(dllexport)
#else
#define SIM_EXPORT __attribute__((visibility("default")))
#endif

// Every entry point and control function is declared from its pointer type,
// so a definition that strays from the interface does not compile.
#define SIM_DECLARE_ENTRY(name, type, required) extern "C" SIM_EXPORT std::remove_pointer_t<type> name;
CPKI1_ENTRY_POINTS(SIM_DECLARE_ENTRY)
#undef SIM_DECLARE_ENTRY
#define SIM_DECLARE_CONTROL(name) extern "C" SIM_EXPORT std::remove_pointer_t<name##_t> name;
SIM_CONTROL_FUNCTIONS(SIM_DECLARE_CONTROL)
#undef SIM_DECLARE_CONTROL

namespace {

using sim::Bytes;
using sim::CertData;

constexpr char kDefaultAlgorithm[] = "SimKey";
constexpr char kRecordTag[4] = {'S', 'I', 'M', 'R'};
constexpr std::size_t kRecordTagOffset = offsetof(TelvoraCertInfo, Unused48);

// ---- Handed-out blocks ------------------------------------------------------

// The texts one TelvoraCertInfo points to.
struct CertText {
  explicit CertText(const CertData &c)
      : issuer(c.issuer),
        serial(c.serial),
        subject(c.subject),
        algorithm(c.publicKeyAlgorithm),
        keyReference(c.keyReference),
        ekus(c.ekus),
        encoded(c.encoded),
        cert(c) {
    for (const auto &e : ekus) ekuPointers.push_back(e.c_str());
    if (encoded.empty()) encoded.push_back(0);  // never hand out a null Data
  }
  static const char *Ptr(const std::optional<std::string> &s) { return s ? s->c_str() : nullptr; }

  void Fill(TelvoraCertInfo &rec) {
    std::memset(&rec, 0, sizeof rec);
    rec.Issuer = Ptr(issuer);
    rec.SerialNumber = Ptr(serial);
    rec.Subject = Ptr(subject);
    rec.PublicKeyAlgorithm = Ptr(algorithm);
    rec.NotBefore = cert.notBefore;
    rec.NotAfter = cert.notAfter;
    rec.KeyUsage = cert.keyUsage;
    rec.PrivateKeyNotBefore = cert.privateKeyNotBefore;
    rec.PrivateKeyNotAfter = cert.privateKeyNotAfter;
    rec.KeyReference = Ptr(keyReference);
    rec.ExtKeyUsageCount = static_cast<int32_t>(ekuPointers.size());
    rec.ExtKeyUsage = ekuPointers.empty() ? nullptr : ekuPointers.data();
    rec.Encoded.Length = static_cast<int32_t>(cert.encoded.size());
    rec.Encoded.Data = encoded.data();
  }

  std::optional<std::string> issuer, serial, subject, algorithm, keyReference;
  std::vector<std::string> ekus;
  std::vector<const char *> ekuPointers;
  Bytes encoded;
  CertData cert;
};

enum class Kind { kBlob, kFind, kParse, kVerify, kDecrypt };

const char *KindName(Kind kind) {
  switch (kind) {
    case Kind::kBlob: return "blob";
    case Kind::kFind: return "find";
    case Kind::kParse: return "parse";
    case Kind::kVerify: return "verify";
    case Kind::kDecrypt: return "decrypt";
  }
  return "unknown";
}

// One thing handed out and released as a whole.
struct Holder {
  Kind kind = Kind::kBlob;
  uint64_t id = 0;
  TelvoraSession session = 0;
  const void *key = nullptr;  // the pointer it is released by (blobs, arrays)
  Bytes blob;
  std::vector<std::unique_ptr<CertText>> texts;
  std::vector<TelvoraCertInfo> records;
  std::vector<TelvoraSignerInfo> signers;
};

void TagRecord(TelvoraCertInfo &rec, uint64_t id) {
  auto *bytes = reinterpret_cast<unsigned char *>(&rec) + kRecordTagOffset;
  std::memcpy(bytes, kRecordTag, sizeof kRecordTag);
  std::memcpy(bytes + sizeof kRecordTag, &id, sizeof id);
}

uint64_t RecordTag(const TelvoraCertInfo &rec) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(&rec) + kRecordTagOffset;
  if (std::memcmp(bytes, kRecordTag, sizeof kRecordTag) != 0) return 0;
  uint64_t id = 0;
  std::memcpy(&id, bytes + sizeof kRecordTag, sizeof id);
  return id;
}

// ---- State ------------------------------------------------------------------

struct Rendezvous {
  int32_t meet = 0;
  int32_t timeoutMs = 0;
  int32_t arrived = 0;
  uint64_t generation = 0;
  bool cancelled = false;
};

struct State {
  std::mutex mu;
  std::condition_variable cv;
  bool dead = false;  // the module is being unloaded

  std::vector<CertData> certs;
  std::map<std::string, int32_t> failures;
  std::vector<std::string> calls;
  std::set<TelvoraSession> sessions;
  TelvoraSession nextSession = 1;
  int32_t signerCount = 1;
  bool nullSignerCert = false;
  int32_t requests = 0;
  // Blob shapes per entry point (SimSetOutputShape) and the entry point
  // whose body runs now (set under the lock).
  std::map<std::string, std::pair<int32_t, int32_t>> shapes;
  const char *current = "";

  std::map<uint64_t, std::unique_ptr<Holder>> holders;
  std::map<const void *, uint64_t> byPointer;
  uint64_t nextId = 1;
  std::vector<std::unique_ptr<Holder>> forgotten;  // outstanding at a reset
  int32_t badReleases = 0;

  int32_t inside = 0;
  int32_t maxInside = 0;
  std::map<std::string, std::shared_ptr<Rendezvous>> rendezvous;

  // Drops everything a test set up or caused; keeps the blocks callers may
  // still hold alive until the module goes.
  void Reset() {
    std::vector<CertData>().swap(certs);
    failures.clear();
    std::vector<std::string>().swap(calls);
    sessions.clear();
    signerCount = 1;
    nullSignerCert = false;
    shapes.clear();
    requests = 0;
    for (auto &h : holders) forgotten.push_back(std::move(h.second));
    holders.clear();
    byPointer.clear();
    badReleases = 0;
    maxInside = inside;
    CancelRendezvous();
  }

  void CancelRendezvous() {
    for (auto &r : rendezvous) r.second->cancelled = true;
    rendezvous.clear();
    cv.notify_all();
  }
};

// The state lives in static storage and is never destroyed, so that a call
// that arrives while the process ends still finds a valid lock; the module's
// destructor empties it and marks it dead instead.
alignas(State) unsigned char g_storage[sizeof(State)];
State *g_state = nullptr;

State &St() {
  static State *state = (g_state = new (g_storage) State);
  return *state;
}

__attribute__((destructor)) void SimUnload() {
  if (!g_state) return;
  std::lock_guard<std::mutex> lock(g_state->mu);
  g_state->dead = true;
  g_state->Reset();
  std::vector<std::unique_ptr<Holder>>().swap(g_state->forgotten);
}

// ---- Call lines -------------------------------------------------------------

std::string Quote(const char *text) {
  if (!text) return "none";
  std::string out = "\"";
  for (const char *p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

class Line {
 public:
  explicit Line(const char *name) : text_(name) {}
  Line &Int(const char *key, long long value) { return Raw(key, std::to_string(value)); }
  Line &Hex(const char *key, uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(value));
    return Raw(key, buf);
  }
  Line &Text(const char *key, const char *value) { return Raw(key, Quote(value)); }
  Line &Text(const char *key, const std::string &value) { return Raw(key, Quote(value.c_str())); }
  Line &Auth(const char *key, const AuthRecord *auth) {
    if (!auth) return Raw(key, "none");
    return Raw(key, Quote(auth->KeyRef ? auth->KeyRef : ""));
  }
  Line &Length(const char *key, const TelvoraBlob *blob) {
    if (!blob) return Raw(key, "none");
    return Int(key, blob->Length);
  }
  Line &Raw(const char *key, const std::string &value) {
    text_ += ' ';
    text_ += key;
    text_ += '=';
    text_ += value;
    return *this;
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

// ---- Entering and leaving ------------------------------------------------------

// Records a call, counts it as inside the provider, waits at its rendezvous
// and tells the status an injected failure demands.
class Call {
 public:
  Call(const char *name, std::string line) {
    State &st = St();
    std::unique_lock<std::mutex> lock(st.mu);
    if (st.dead) {
      failure_ = SIM_E_INTERNAL;
      return;
    }
    st.calls.push_back(std::move(line));
    entered_ = true;
    st.maxInside = std::max(st.maxInside, ++st.inside);
    auto f = st.failures.find(name);
    failure_ = f == st.failures.end() ? 0 : f->second;
    auto r = st.rendezvous.find(name);
    if (r != st.rendezvous.end()) Meet(st, lock, r->second);
  }
  ~Call() {
    if (!entered_) return;
    State &st = St();
    std::lock_guard<std::mutex> lock(st.mu);
    --st.inside;
  }
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;
  int32_t Failure() const { return failure_; }

 private:
  static void Meet(State &st, std::unique_lock<std::mutex> &lock, std::shared_ptr<Rendezvous> rv) {
    uint64_t generation = rv->generation;
    if (++rv->arrived >= rv->meet) {
      rv->arrived = 0;
      ++rv->generation;
      st.cv.notify_all();
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(rv->timeoutMs);
    bool met = st.cv.wait_until(lock, deadline, [&] { return rv->generation != generation || rv->cancelled; });
    if (!met) --rv->arrived;
  }

  bool entered_ = false;
  int32_t failure_ = 0;
};

// Runs one entry point: describe builds its call line (outside the lock),
// body does the work under the lock unless a failure is injected. No C++
// exception leaves.
// Set by the exit handler of SimShutdownAtExit: the provider is gone.
std::atomic<bool> g_shutDown{false};

template <typename Describe, typename Body>
int32_t Run(const char *name, Describe describe, Body body) {
  if (g_shutDown.load()) std::_Exit(86);
  try {
    Call call(name, describe());
    if (call.Failure() != 0) return call.Failure();
    State &st = St();
    std::lock_guard<std::mutex> lock(st.mu);
    st.current = name;
    return body(st);
  } catch (...) {
    return SIM_E_INTERNAL;
  }
}

// ---- Helpers for the entry points ---------------------------------------------

bool ValidBlob(const TelvoraBlob *blob) {
  return blob && blob->Length >= 0 && (blob->Length == 0 || blob->Data != nullptr);
}

bool IsOpen(const State &st, TelvoraSession s) { return s != 0 && st.sessions.count(s) != 0; }

Holder &Register(State &st, Kind kind, TelvoraSession session) {
  auto holder = std::make_unique<Holder>();
  holder->kind = kind;
  holder->id = st.nextId++;
  holder->session = session;
  Holder &ref = *holder;
  st.holders.emplace(ref.id, std::move(holder));
  return ref;
}

void SetKey(State &st, Holder &holder, const void *key) {
  holder.key = key;
  st.byPointer[key] = holder.id;
}

// Hands out a copy of bytes as a blob released with VCERT_FreeMem, in the
// shape set for the running entry point.
void HandOutBlob(State &st, TelvoraSession session, const uint8_t *data, std::size_t length, TelvoraBlob *out) {
  auto shaped = st.shapes.find(st.current);
  const int32_t shape = shaped == st.shapes.end() ? SIM_OUTPUT_ASIS : shaped->second.first;
  const int32_t value = shaped == st.shapes.end() ? 0 : shaped->second.second;
  if (shape == SIM_OUTPUT_NODATA) {
    out->Length = static_cast<int32_t>(length);
    out->Data = nullptr;
    return;
  }
  Holder &h = Register(st, Kind::kBlob, session);
  h.blob.assign(data, data + length);
  if (shape == SIM_OUTPUT_GROW && value > 0) h.blob.resize(length + static_cast<std::size_t>(value), 0);
  out->Length = shape == SIM_OUTPUT_LENGTH ? value : static_cast<int32_t>(h.blob.size());
  if (h.blob.empty()) h.blob.push_back(0);
  SetKey(st, h, h.blob.data());
  out->Data = h.blob.data();
}

void HandOutBlob(State &st, TelvoraSession session, const Bytes &data, TelvoraBlob *out) {
  HandOutBlob(st, session, data.data(), data.size(), out);
}

Holder *FindByPointer(State &st, const void *pointer) {
  auto p = st.byPointer.find(pointer);
  if (p == st.byPointer.end()) return nullptr;
  auto h = st.holders.find(p->second);
  return h == st.holders.end() ? nullptr : h->second.get();
}

Holder *FindById(State &st, uint64_t id) {
  auto h = st.holders.find(id);
  return h == st.holders.end() ? nullptr : h->second.get();
}

const char *KindOf(Holder *holder) { return holder ? KindName(holder->kind) : "unknown"; }

// Releases a holder if it is what the release entry point expects.
bool Release(State &st, Holder *holder, Kind expected, TelvoraSession session) {
  if (!holder || holder->kind != expected || holder->session != session) {
    ++st.badReleases;
    return false;
  }
  if (holder->key) st.byPointer.erase(holder->key);
  st.holders.erase(holder->id);
  return true;
}

// The certificate given by its encoded bytes: a known certificate with
// exactly these bytes, else a made-up encoding read back.
std::optional<CertData> Resolve(const State &st, const uint8_t *data, std::size_t length) {
  if (!data) return std::nullopt;
  for (const auto &c : st.certs) {
    if (c.encoded.size() == length && std::equal(c.encoded.begin(), c.encoded.end(), data)) return c;
  }
  return sim::DecodeCert(data, length);
}

std::optional<CertData> Resolve(const State &st, const TelvoraBlob *blob) {
  if (!ValidBlob(blob) || blob->Length == 0) return std::nullopt;
  return Resolve(st, blob->Data, static_cast<std::size_t>(blob->Length));
}

// The session's key: the first own certificate, or the own certificate with
// the selector's key reference.
const CertData *OwnCert(const State &st, const AuthRecord *selector) {
  for (const auto &c : st.certs) {
    if (!(c.store & TELVORA_STORE_OWN)) continue;
    if (!selector || !selector->KeyRef) return &c;
    if (c.keyReference && *c.keyReference == selector->KeyRef) return &c;
  }
  return nullptr;
}

// Adds a certificate unless one with the same encoding is there.
void AddToStore(State &st, CertData cert, int32_t store) {
  for (auto &c : st.certs) {
    if (c.encoded == cert.encoded) {
      c.store |= store;
      return;
    }
  }
  cert.store = store;
  st.certs.push_back(std::move(cert));
}

// ---- Certificate search ------------------------------------------------------------

std::string TextOf(const char *text) { return text ? std::string(text) : std::string(); }

// The CN value of a distinguished name: the relative name that starts with
// "CN=" (after optional spaces), up to the next "," or the end.
std::optional<std::string> CommonName(const std::string &dn) {
  std::size_t start = 0;
  while (start <= dn.size()) {
    std::size_t end = dn.find(',', start);
    if (end == std::string::npos) end = dn.size();
    std::size_t p = start;
    while (p < end && dn[p] == ' ') ++p;
    if (dn.compare(p, 3, "CN=") == 0) return dn.substr(p + 3, end - p - 3);
    start = end + 1;
  }
  return std::nullopt;
}

bool SubjectMatches(const CertData &c, const std::string &filter) {
  if (!c.subject) return false;
  if (filter.compare(0, 3, "CN=") == 0) {
    auto cn = CommonName(*c.subject);
    return cn && *cn == filter.substr(3);
  }
  return *c.subject == filter;
}

bool HasEkus(const CertData &c, const TelvoraFindCriteria &crit) {
  if (crit.EKUCount > 0 && !crit.EKUList) return false;
  for (int32_t i = 0; i < crit.EKUCount; ++i) {
    std::string oid = TextOf(crit.EKUList[i]);
    if (std::find(c.ekus.begin(), c.ekus.end(), oid) == c.ekus.end()) return false;
  }
  return true;
}

constexpr int32_t kMatchIssuer = 1;
constexpr int32_t kMatchSerial = 2;
constexpr int32_t kMatchSubject = 4;
constexpr int32_t kKnownMatches = kMatchIssuer | kMatchSerial | kMatchSubject | TELVORA_MATCH_EKU;

bool Matches(const CertData &c, const TelvoraFindCriteria &crit) {
  if (!(c.store & crit.Stores)) return false;
  if ((crit.MatchBy & kMatchIssuer) && (!crit.Issuer || !c.issuer || *c.issuer != crit.Issuer)) return false;
  if ((crit.MatchBy & kMatchSerial) && (!crit.Serial || !c.serial || *c.serial != crit.Serial)) return false;
  if ((crit.MatchBy & kMatchSubject) && (!crit.Subject || !SubjectMatches(c, crit.Subject))) return false;
  if ((crit.MatchBy & TELVORA_MATCH_EKU) && !HasEkus(c, crit)) return false;
  return true;
}

std::string JoinEkus(const TelvoraFindCriteria &crit) {
  if (crit.EKUCount <= 0 || !crit.EKUList) return "";
  std::string out;
  for (int32_t i = 0; i < crit.EKUCount; ++i) {
    if (i) out += ';';
    out += TextOf(crit.EKUList[i]);
  }
  return out;
}

// Fills a caller's record with a certificate and tracks it.
void HandOutRecord(State &st, Kind kind, TelvoraSession session, const CertData *cert, TelvoraCertInfo *rec) {
  Holder &h = Register(st, kind, session);
  if (cert) {
    h.texts.push_back(std::make_unique<CertText>(*cert));
    h.texts.back()->Fill(*rec);
  } else {
    std::memset(rec, 0, sizeof *rec);
  }
  TagRecord(*rec, h.id);
}

CertData FromSimCert(const SimCert &in) {
  auto text = [](const char *p) { return p ? std::optional<std::string>(p) : std::nullopt; };
  CertData c;
  c.issuer = text(in.Issuer);
  c.serial = text(in.Serial);
  c.subject = text(in.Subject);
  c.publicKeyAlgorithm = in.PublicKeyAlgorithm ? std::string(in.PublicKeyAlgorithm) : kDefaultAlgorithm;
  c.keyReference = text(in.KeyReference);
  c.ekus = in.Ekus ? sim::SplitList(in.Ekus) : std::vector<std::string>();
  c.notBefore = in.NotBefore;
  c.notAfter = in.NotAfter;
  c.privateKeyNotBefore = in.PrivateKeyNotBefore;
  c.privateKeyNotAfter = in.PrivateKeyNotAfter;
  c.keyUsage = in.KeyUsage;
  c.store = in.Store ? in.Store : TELVORA_STORE_OTHERS;
  if (in.Encoded && in.EncodedLength > 0) {
    c.encoded.assign(in.Encoded, in.Encoded + in.EncodedLength);
  } else {
    c.encoded = sim::EncodeCert(c);
  }
  return c;
}

// The key a recipient record names: its key reference, else the one of the
// certificate its encoding names, else its issuer and serial.
std::optional<std::string> RecipientKey(const State &st, const TelvoraCertInfo &rec) {
  if (rec.KeyReference && *rec.KeyReference) return "ref:" + std::string(rec.KeyReference);
  if (auto cert = Resolve(st, &rec.Encoded)) return sim::KeyId(*cert);
  if (rec.Issuer && rec.SerialNumber) return "cert:" + std::string(rec.Issuer) + "|" + rec.SerialNumber;
  return std::nullopt;
}

bool ReadFile(const char *name, Bytes &out) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int32_t Import(State &st, int32_t kind, const uint8_t *data, std::size_t length) {
  auto cert = Resolve(st, data, length);
  if (cert) {
    AddToStore(st, std::move(*cert), TELVORA_STORE_OWN);
    return 0;
  }
  return kind == 8 ? SIM_E_BAD_ENCODING : 0;
}

}  // namespace

// ---- Sessions and texts ---------------------------------------------------------------

int32_t VCERT_API VCERT_Initialize(const char *profile, int32_t flags, TelvoraSession *out) {
  return Run(
      "VCERT_Initialize",
      [&] { return Line("VCERT_Initialize").Text("profile", profile).Int("flags", flags).Take(); },
      [&](State &st) -> int32_t {
        if (!out) return SIM_E_BAD_ARGUMENT;
        *out = st.nextSession++;
        st.sessions.insert(*out);
        return 0;
      });
}

int32_t VCERT_API VCERT_InitializeEx(int32_t version, const TelvoraOpenParams *rec, TelvoraSession *out) {
  return Run(
      "VCERT_InitializeEx",
      [&] {
        Line line("VCERT_InitializeEx");
        line.Int("version", version);
        if (!rec) return line.Raw("rec", "none").Take();
        return line.Int("size", rec->Size)
            .Int("flags", rec->Flags)
            .Text("pse", rec->PSEUrl)
            .Text("store", rec->StoreUrl)
            .Text("ldap", rec->LdapUrl)
            .Take();
      },
      [&](State &st) -> int32_t {
        if (version != 1 || !rec || rec->Size != static_cast<int32_t>(sizeof(TelvoraOpenParams)) || !out) {
          return SIM_E_BAD_ARGUMENT;
        }
        *out = st.nextSession++;
        st.sessions.insert(*out);
        return 0;
      });
}

int32_t VCERT_API VCERT_Uninitialize(TelvoraSession s) {
  return Run(
      "VCERT_Uninitialize", [&] { return Line("VCERT_Uninitialize").Int("session", s).Take(); },
      [&](State &st) -> int32_t { return st.sessions.erase(s) ? 0 : SIM_E_BAD_SESSION; });
}

int32_t VCERT_API VCERT_GetErrorText(int32_t code, char *buffer, int32_t size) {
  return Run(
      "VCERT_GetErrorText",
      [&] { return Line("VCERT_GetErrorText").Int("code", code).Int("size", size).Take(); },
      [&](State &) -> int32_t {
        if (!buffer || size <= 0) return SIM_E_BAD_ARGUMENT;
        std::string text = "sim status " + std::to_string(code);
        std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return 0;
      });
}

// ---- Hashing, signing, encryption -----------------------------------------------------------

int32_t VCERT_API VCERT_HashMem(TelvoraSession s, const TelvoraBlob *data, TelvoraBlob *hash) {
  return Run(
      "VCERT_HashMem", [&] { return Line("VCERT_HashMem").Int("session", s).Length("length", data).Take(); },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!ValidBlob(data) || !hash) return SIM_E_BAD_ARGUMENT;
        sim::Digest d = sim::Hash(data->Data, static_cast<std::size_t>(data->Length));
        HandOutBlob(st, s, d.data(), d.size(), hash);
        return 0;
      });
}

int32_t VCERT_API VCERT_SignMem(TelvoraSession s, const TelvoraSignParams *p, const TelvoraBlob *data,
                                const void *reserved, TelvoraBlob *out) {
  return Run(
      "VCERT_SignMem",
      [&] {
        Line line("VCERT_SignMem");
        line.Int("session", s);
        if (p) line.Int("flags", p->Flags).Auth("selector", p->Selector);
        return line.Length("length", data).Raw("reserved", reserved ? "set" : "null").Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(data) || !out) return SIM_E_BAD_ARGUMENT;
        const CertData *signer = OwnCert(st, p->Selector);
        if (!signer) return SIM_E_NO_KEY;
        sim::Signature sig;
        sig.flags = static_cast<uint32_t>(p->Flags);
        sig.signerCert = signer->encoded;
        std::size_t length = static_cast<std::size_t>(data->Length);
        if (!sim::IsDetached(sig.flags)) sig.content.assign(data->Data, data->Data + length);
        sig.code = sim::SignatureCode(sim::KeyId(*signer), sig.flags, sig.signerCert, data->Data, length);
        HandOutBlob(st, s, sim::EncodeSignature(sig), out);
        return 0;
      });
}

int32_t VCERT_API VCERT_VerifyMem(TelvoraSession s, const TelvoraVerifyParams *p, const TelvoraBlob *data,
                                  const TelvoraBlob *signature, TelvoraBlob *content, TelvoraVerifyResult *result) {
  return Run(
      "VCERT_VerifyMem",
      [&] {
        Line line("VCERT_VerifyMem");
        line.Int("session", s);
        if (p) line.Int("flags", p->Flags).Auth("selector", p->Selector).Int("option", p->Option).Hex("fields", p->Fields);
        return line.Length("data", data)
            .Length("signature", signature)
            .Raw("content", content ? "yes" : "no")
            .Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(signature) || !result || (data && !ValidBlob(data))) return SIM_E_BAD_ARGUMENT;
        auto sig = sim::DecodeSignature(signature->Data, static_cast<std::size_t>(signature->Length));
        if (!sig) return SIM_E_BAD_ENCODING;
        Bytes signedData = sig->content;
        if (sim::IsDetached(sig->flags)) {
          if (!data) return SIM_E_BAD_ARGUMENT;
          signedData.assign(data->Data, data->Data + data->Length);
        }
        auto signer = Resolve(st, sig->signerCert.data(), sig->signerCert.size());
        if (!signer) return SIM_E_BAD_SIGNATURE;
        sim::Digest code =
            sim::SignatureCode(sim::KeyId(*signer), sig->flags, sig->signerCert, signedData.data(), signedData.size());
        if (code != sig->code) return SIM_E_BAD_SIGNATURE;

        std::size_t count = static_cast<std::size_t>(std::max(st.signerCount, 0));
        Holder &h = Register(st, Kind::kVerify, s);
        h.records.resize(std::max<std::size_t>(count, 1));
        h.signers.resize(h.records.size());
        for (std::size_t i = 0; i < h.records.size(); ++i) {
          h.texts.push_back(std::make_unique<CertText>(*signer));
          h.texts.back()->Fill(h.records[i]);
          TagRecord(h.records[i], h.id);
          h.signers[i] = TelvoraSignerInfo{0, 0, st.nullSignerCert ? nullptr : &h.records[i]};
        }
        SetKey(st, h, h.signers.data());
        result->Count = static_cast<int32_t>(count);
        result->Signers = h.signers.data();
        if (content) HandOutBlob(st, s, signedData, content);
        return 0;
      });
}

int32_t VCERT_API VCERT_EncryptMem(TelvoraSession s, const TelvoraCryptParams *p, const TelvoraBlob *data,
                                   TelvoraBlob *out) {
  return Run(
      "VCERT_EncryptMem",
      [&] {
        Line line("VCERT_EncryptMem");
        line.Int("session", s);
        if (p) {
          line.Int("flags", p->Flags).Auth("selector", p->Selector).Int("recipients", p->RecipientCount);
          std::string serials;
          for (int32_t i = 0; p->Recipients && i < p->RecipientCount; ++i) {
            if (i) serials += ';';
            serials += TextOf(p->Recipients[i].SerialNumber);
          }
          line.Text("serials", serials);
        }
        return line.Length("length", data).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(data) || !out || p->RecipientCount < 0) return SIM_E_BAD_ARGUMENT;
        if (p->RecipientCount == 0 || !p->Recipients) return SIM_E_NOT_RECIPIENT;
        std::vector<std::string> keys;
        for (int32_t i = 0; i < p->RecipientCount; ++i) {
          auto key = RecipientKey(st, p->Recipients[i]);
          if (!key) return SIM_E_BAD_ARGUMENT;
          keys.push_back(*key);
        }
        const CertData *sender = OwnCert(st, p->Selector);
        Bytes senderCert = sender ? sender->encoded : Bytes();
        HandOutBlob(st, s, sim::Seal(senderCert, keys, data->Data, static_cast<std::size_t>(data->Length)), out);
        return 0;
      });
}

int32_t VCERT_API VCERT_DecryptMem(TelvoraSession s, const TelvoraDecryptParams *p, const TelvoraBlob *data,
                                   TelvoraBlob *out, TelvoraCertInfo *sender) {
  return Run(
      "VCERT_DecryptMem",
      [&] {
        Line line("VCERT_DecryptMem");
        line.Int("session", s);
        if (p) line.Int("flags", p->Flags).Auth("selector", p->Selector);
        return line.Length("length", data).Raw("sender", sender ? "yes" : "no").Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(data) || !out) return SIM_E_BAD_ARGUMENT;
        auto envelope = sim::DecodeEnvelope(data->Data, static_cast<std::size_t>(data->Length));
        if (!envelope) return SIM_E_BAD_ENCODING;
        for (const auto &c : st.certs) {
          if (!(c.store & TELVORA_STORE_OWN)) continue;
          if (p->Selector && p->Selector->KeyRef && (!c.keyReference || *c.keyReference != p->Selector->KeyRef)) {
            continue;
          }
          Bytes plain;
          bool notRecipient = false;
          if (!sim::Open(*envelope, sim::KeyId(c), plain, notRecipient)) {
            if (notRecipient) continue;
            return SIM_E_CORRUPT;
          }
          HandOutBlob(st, s, plain, out);
          if (sender) {
            auto from = Resolve(st, envelope->senderCert.data(), envelope->senderCert.size());
            HandOutRecord(st, Kind::kDecrypt, s, from ? &*from : nullptr, sender);
          }
          return 0;
        }
        return SIM_E_NOT_RECIPIENT;
      });
}

#ifndef SIM_WITHOUT_OPTIONAL
int32_t VCERT_API VCERT_SignHashMem(TelvoraSession s, int32_t flags, const TelvoraBlob *hash,
                                    TelvoraBlob *signature) {
  return Run(
      "VCERT_SignHashMem",
      [&] {
        return Line("VCERT_SignHashMem").Int("session", s).Int("flags", flags).Length("length", hash).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!ValidBlob(hash) || !signature) return SIM_E_BAD_ARGUMENT;
        const CertData *signer = OwnCert(st, nullptr);
        if (!signer) return SIM_E_NO_KEY;
        HandOutBlob(st, s, sim::SignHash(sim::KeyId(*signer), hash->Data, static_cast<std::size_t>(hash->Length)),
                    signature);
        return 0;
      });
}

int32_t VCERT_API VCERT_VerifyHashMem(TelvoraSession s, int32_t flags, const TelvoraBlob *cert,
                                      const TelvoraBlob *hash, const TelvoraBlob *signature) {
  return Run(
      "VCERT_VerifyHashMem",
      [&] {
        return Line("VCERT_VerifyHashMem")
            .Int("session", s)
            .Int("flags", flags)
            .Length("cert", cert)
            .Length("hash", hash)
            .Length("signature", signature)
            .Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!ValidBlob(hash) || !ValidBlob(signature) || !ValidBlob(cert)) return SIM_E_BAD_ARGUMENT;
        auto signer = Resolve(st, cert);
        if (!signer) return SIM_E_BAD_ENCODING;
        Bytes expected = sim::SignHash(sim::KeyId(*signer), hash->Data, static_cast<std::size_t>(hash->Length));
        bool same = expected.size() == static_cast<std::size_t>(signature->Length) &&
                    std::equal(expected.begin(), expected.end(), signature->Data);
        return same ? 0 : SIM_E_BAD_SIGNATURE;
      });
}
#endif  // SIM_WITHOUT_OPTIONAL

// ---- Certificates ------------------------------------------------------------------------------------

int32_t VCERT_API VCERT_FindCert(TelvoraSession s, const TelvoraFindCriteria *c, TelvoraFindResult *result) {
  return Run(
      "VCERT_FindCert",
      [&] {
        Line line("VCERT_FindCert");
        line.Int("session", s);
        if (!c) return line.Raw("criteria", "none").Take();
        return line.Int("stores", c->Stores)
            .Int("matchBy", c->MatchBy)
            .Text("issuer", c->Issuer)
            .Text("serial", c->Serial)
            .Text("subject", c->Subject)
            .Text("ekus", JoinEkus(*c))
            .Hex("fields", static_cast<uint32_t>(c->Fields))
            .Auth("selector", c->Selector)
            .Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!c || !result || (c->MatchBy & ~kKnownMatches) != 0 || c->EKUCount < 0) return SIM_E_BAD_ARGUMENT;
        std::vector<const CertData *> found;
        for (const auto &cert : st.certs) {
          if (Matches(cert, *c)) found.push_back(&cert);
        }
        Holder &h = Register(st, Kind::kFind, s);
        h.records.resize(std::max<std::size_t>(found.size(), 1));
        for (std::size_t i = 0; i < found.size(); ++i) {
          h.texts.push_back(std::make_unique<CertText>(*found[i]));
          h.texts.back()->Fill(h.records[i]);
        }
        for (auto &rec : h.records) TagRecord(rec, h.id);
        SetKey(st, h, h.records.data());
        result->Count = static_cast<int32_t>(found.size());
        result->Certs = h.records.data();
        return 0;
      });
}

int32_t VCERT_API VCERT_ParseCert(TelvoraSession s, const TelvoraBlob *cert, int32_t fields, TelvoraCertInfo *info) {
  return Run(
      "VCERT_ParseCert",
      [&] {
        return Line("VCERT_ParseCert")
            .Int("session", s)
            .Length("length", cert)
            .Hex("fields", static_cast<uint32_t>(fields))
            .Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!ValidBlob(cert) || !info) return SIM_E_BAD_ARGUMENT;
        auto parsed = Resolve(st, cert);
        if (!parsed) return SIM_E_BAD_ENCODING;
        HandOutRecord(st, Kind::kParse, s, &*parsed, info);
        return 0;
      });
}

int32_t VCERT_API VCERT_AddCertificate(TelvoraSession s, const TelvoraAddParams *p, const TelvoraBlob *cert) {
  return Run(
      "VCERT_AddCertificate",
      [&] {
        Line line("VCERT_AddCertificate");
        line.Int("session", s);
        if (p) line.Int("flags", p->Flags).Auth("selector", p->Selector);
        return line.Length("length", cert).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(cert)) return SIM_E_BAD_ARGUMENT;
        auto parsed = Resolve(st, cert);
        if (!parsed) return SIM_E_BAD_ENCODING;
        AddToStore(st, std::move(*parsed), TELVORA_STORE_OTHERS);
        return 0;
      });
}

int32_t VCERT_API VCERT_AddCRL(TelvoraSession s, const TelvoraAddParams *p, const TelvoraBlob *crl) {
  return Run(
      "VCERT_AddCRL",
      [&] {
        Line line("VCERT_AddCRL");
        line.Int("session", s);
        if (p) line.Int("flags", p->Flags).Auth("selector", p->Selector);
        return line.Length("length", crl).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(crl)) return SIM_E_BAD_ARGUMENT;
        constexpr std::size_t n = sizeof(SIM_CRL_MAGIC) - 1;
        bool ok = static_cast<std::size_t>(crl->Length) >= n && std::memcmp(crl->Data, SIM_CRL_MAGIC, n) == 0;
        return ok ? 0 : SIM_E_BAD_ENCODING;
      });
}

int32_t VCERT_API VCERT_ShowCertificate(TelvoraSession s, const TelvoraBlob *cert) {
  return Run(
      "VCERT_ShowCertificate",
      [&] {
        std::string subject = "none";
        {
          std::lock_guard<std::mutex> lock(St().mu);
          if (auto c = Resolve(St(), cert)) subject = Quote(c->subject ? c->subject->c_str() : nullptr);
        }
        return Line("VCERT_ShowCertificate").Int("session", s).Length("length", cert).Raw("subject", subject).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        return ValidBlob(cert) ? 0 : SIM_E_BAD_ARGUMENT;
      });
}

// ---- Import and export ------------------------------------------------------------------------------

int32_t VCERT_API VCERT_ImportMem(TelvoraSession s, const TelvoraExportParams *p, const TelvoraBlob *data) {
  return Run(
      "VCERT_ImportMem",
      [&] {
        Line line("VCERT_ImportMem");
        line.Int("session", s);
        if (p) line.Int("kind", p->Kind).Auth("auth", p->Auth);
        return line.Length("length", data).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !ValidBlob(data) || data->Length == 0) return SIM_E_BAD_ARGUMENT;
        return Import(st, p->Kind, data->Data, static_cast<std::size_t>(data->Length));
      });
}

int32_t VCERT_API VCERT_ImportFile(TelvoraSession s, const TelvoraExportParams *p, const char *fileName) {
  return Run(
      "VCERT_ImportFile",
      [&] {
        Line line("VCERT_ImportFile");
        line.Int("session", s);
        if (p) line.Int("kind", p->Kind).Auth("auth", p->Auth);
        return line.Text("file", fileName).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !fileName) return SIM_E_BAD_ARGUMENT;
        Bytes content;
        if (!ReadFile(fileName, content)) return SIM_E_NO_FILE;
        return Import(st, p->Kind, content.data(), content.size());
      });
}

int32_t VCERT_API VCERT_ExportMem(TelvoraSession s, const TelvoraExportParams *p, TelvoraBlob *out) {
  return Run(
      "VCERT_ExportMem",
      [&] {
        Line line("VCERT_ExportMem");
        line.Int("session", s);
        if (p) line.Int("kind", p->Kind).Auth("auth", p->Auth);
        return line.Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!p || !out) return SIM_E_BAD_ARGUMENT;
        std::string text = "SIMREQ kind=" + std::to_string(p->Kind) + " n=" + std::to_string(++st.requests);
        HandOutBlob(st, s, reinterpret_cast<const uint8_t *>(text.data()), text.size(), out);
        return 0;
      });
}

// ---- Releases ------------------------------------------------------------------------------------------

int32_t VCERT_API VCERT_FreeMem(TelvoraSession s, void *data) {
  return Run(
      "VCERT_FreeMem",
      [&] {
        std::lock_guard<std::mutex> lock(St().mu);
        const char *kind = data ? KindOf(FindByPointer(St(), data)) : "null";
        return Line("VCERT_FreeMem").Int("session", s).Raw("kind", kind).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!data) return 0;
        return Release(st, FindByPointer(st, data), Kind::kBlob, s) ? 0 : SIM_E_BAD_ARGUMENT;
      });
}

int32_t VCERT_API VCERT_FreeFindResult(TelvoraSession s, TelvoraFindResult *result) {
  return Run(
      "VCERT_FreeFindResult",
      [&] {
        std::lock_guard<std::mutex> lock(St().mu);
        Line line("VCERT_FreeFindResult");
        line.Int("session", s);
        if (!result) return line.Raw("kind", "none").Take();
        return line.Raw("kind", KindOf(FindByPointer(St(), result->Certs))).Int("count", result->Count).Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!result || !Release(st, FindByPointer(st, result->Certs), Kind::kFind, s)) {
          if (!result) ++st.badReleases;
          return SIM_E_BAD_ARGUMENT;
        }
        *result = TelvoraFindResult{};
        return 0;
      });
}

int32_t VCERT_API VCERT_FreeVerifyResult(TelvoraSession s, TelvoraVerifyResult *result) {
  return Run(
      "VCERT_FreeVerifyResult",
      [&] {
        std::lock_guard<std::mutex> lock(St().mu);
        Line line("VCERT_FreeVerifyResult");
        line.Int("session", s);
        return line.Raw("kind", result ? KindOf(FindByPointer(St(), result->Signers)) : "none").Take();
      },
      [&](State &st) -> int32_t {
        if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
        if (!result || !Release(st, FindByPointer(st, result->Signers), Kind::kVerify, s)) {
          if (!result) ++st.badReleases;
          return SIM_E_BAD_ARGUMENT;
        }
        *result = TelvoraVerifyResult{};
        return 0;
      });
}

// Releases a record found by its tag (parsed certificates, decrypt senders).
int32_t ReleaseRecord(State &st, TelvoraSession s, TelvoraCertInfo *info, Kind kind) {
  if (!IsOpen(st, s)) return SIM_E_BAD_SESSION;
  if (!info) {
    ++st.badReleases;
    return SIM_E_BAD_ARGUMENT;
  }
  if (!Release(st, FindById(st, RecordTag(*info)), kind, s)) return SIM_E_BAD_ARGUMENT;
  std::memset(info, 0, sizeof *info);
  return 0;
}

std::string RecordLine(const char *name, TelvoraSession s, const TelvoraCertInfo *info) {
  std::lock_guard<std::mutex> lock(St().mu);
  return Line(name).Int("session", s).Raw("kind", info ? KindOf(FindById(St(), RecordTag(*info))) : "none").Take();
}

int32_t VCERT_API VCERT_FreeCert(TelvoraSession s, TelvoraCertInfo *info) {
  return Run(
      "VCERT_FreeCert", [&] { return RecordLine("VCERT_FreeCert", s, info); },
      [&](State &st) { return ReleaseRecord(st, s, info, Kind::kParse); });
}

int32_t VCERT_API VCERT_FreeDecryptResult(TelvoraSession s, TelvoraCertInfo *sender) {
  return Run(
      "VCERT_FreeDecryptResult", [&] { return RecordLine("VCERT_FreeDecryptResult", s, sender); },
      [&](State &st) { return ReleaseRecord(st, s, sender, Kind::kDecrypt); });
}

// ---- Entry points the library never calls ---------------------------------------------------------------

#define SIM_UNUSED(name)                                                                          \
  int32_t VCERT_API name(void) {                                                                  \
    return Run(                                                                                   \
        #name, [] { return std::string(#name); }, [](State &) { return SIM_E_NOT_IMPLEMENTED; }); \
  }

SIM_UNUSED(VCERT_SetAuthData)
SIM_UNUSED(VCERT_SignedInfoMem)
SIM_UNUSED(VCERT_EncryptedInfoMem)
SIM_UNUSED(VCERT_VerifyAndSignMem)
SIM_UNUSED(VCERT_SignAndEncryptMem)
SIM_UNUSED(VCERT_DecryptAndVerifyMem)
SIM_UNUSED(VCERT_GenRandom)
SIM_UNUSED(VCERT_HashFile)
SIM_UNUSED(VCERT_SignFile)
SIM_UNUSED(VCERT_VerifyFile)
SIM_UNUSED(VCERT_SignedInfoFile)
SIM_UNUSED(VCERT_EncryptedInfoFile)
SIM_UNUSED(VCERT_VerifyAndSignFile)
SIM_UNUSED(VCERT_EncryptFile)
SIM_UNUSED(VCERT_DecryptFile)
SIM_UNUSED(VCERT_SignAndEncryptFile)
SIM_UNUSED(VCERT_DecryptAndVerifyFile)
SIM_UNUSED(VCERT_AllocMem)
SIM_UNUSED(VCERT_FreeCertId)
SIM_UNUSED(VCERT_FreeSignedInfoResult)
SIM_UNUSED(VCERT_FreeEncryptedInfoResult)
#ifndef SIM_WITHOUT_MATCH
SIM_UNUSED(VCERT_Match)
#endif
SIM_UNUSED(VCERT_ExportFile)

// ---- Control functions ----------------------------------------------------------------------------------

namespace {

// Runs a control function under the lock; does nothing once the module goes.
template <typename R, typename Body>
R Control(R fallback, Body body) {
  try {
    State &st = St();
    std::lock_guard<std::mutex> lock(st.mu);
    if (st.dead) return fallback;
    return body(st);
  } catch (...) {
    return fallback;
  }
}

template <typename Body>
void Control(Body body) {
  Control(0, [&](State &st) {
    body(st);
    return 0;
  });
}

}  // namespace

void VCERT_API SimReset(void) {
  Control([](State &st) { st.Reset(); });
}

int32_t VCERT_API SimAddCert(const SimCert *cert) {
  return Control(-1, [&](State &st) -> int32_t {
    if (!cert) return -1;
    st.certs.push_back(FromSimCert(*cert));
    return static_cast<int32_t>(st.certs.size() - 1);
  });
}

int32_t VCERT_API SimEncodeCert(const SimCert *cert, uint8_t *buffer, int32_t size) {
  if (!cert) return -1;
  try {
    Bytes encoded = FromSimCert(*cert).encoded;
    if (buffer && size >= 0 && encoded.size() <= static_cast<std::size_t>(size)) {
      std::memcpy(buffer, encoded.data(), encoded.size());
    }
    return static_cast<int32_t>(encoded.size());
  } catch (...) {
    return -1;
  }
}

void VCERT_API SimSetFailure(const char *entryPoint, int32_t status) {
  if (!entryPoint) return;
  Control([&](State &st) {
    if (status == 0) {
      st.failures.erase(entryPoint);
    } else {
      st.failures[entryPoint] = status;
    }
  });
}

void VCERT_API SimSetSignerCount(int32_t count) {
  Control([&](State &st) { st.signerCount = std::max(count, 0); });
}

void VCERT_API SimSetOutputShape(const char *entryPoint, int32_t shape, int32_t value) {
  if (!entryPoint) return;
  Control([&](State &st) {
    if (shape == SIM_OUTPUT_ASIS) {
      st.shapes.erase(entryPoint);
    } else {
      st.shapes[entryPoint] = {shape, value};
    }
  });
}

void VCERT_API SimSetNullSignerCert(int32_t on) {
  Control([&](State &st) { st.nullSignerCert = on != 0; });
}

int32_t VCERT_API SimCallCount(void) {
  return Control(0, [](State &st) { return static_cast<int32_t>(st.calls.size()); });
}

int32_t VCERT_API SimCallText(int32_t index, char *buffer, int32_t size) {
  return Control(-1, [&](State &st) -> int32_t {
    if (index < 0 || static_cast<std::size_t>(index) >= st.calls.size()) return -1;
    const std::string &line = st.calls[static_cast<std::size_t>(index)];
    if (buffer && size > 0) {
      std::size_t n = std::min(line.size(), static_cast<std::size_t>(size) - 1);
      std::memcpy(buffer, line.data(), n);
      buffer[n] = '\0';
    }
    return static_cast<int32_t>(line.size());
  });
}

int32_t VCERT_API SimOutstanding(void) {
  return Control(0, [](State &st) { return static_cast<int32_t>(st.holders.size()); });
}

int32_t VCERT_API SimBadReleases(void) {
  return Control(0, [](State &st) { return st.badReleases; });
}

int32_t VCERT_API SimOpenSessions(void) {
  return Control(0, [](State &st) { return static_cast<int32_t>(st.sessions.size()); });
}

void VCERT_API SimSetRendezvous(const char *entryPoint, int32_t meet, int32_t timeoutMs) {
  if (!entryPoint) return;
  Control([&](State &st) {
    auto old = st.rendezvous.find(entryPoint);
    if (old != st.rendezvous.end()) {
      old->second->cancelled = true;
      st.rendezvous.erase(old);
      st.cv.notify_all();
    }
    if (meet < 2) return;
    auto rv = std::make_shared<Rendezvous>();
    rv->meet = meet;
    rv->timeoutMs = std::max(timeoutMs, 0);
    st.rendezvous[entryPoint] = rv;
  });
}

int32_t VCERT_API SimMaxInside(void) {
  return Control(0, [](State &st) { return st.maxInside; });
}

void VCERT_API SimShutdownAtExit(void) {
  std::atexit([] { g_shutDown.store(true); });
}
