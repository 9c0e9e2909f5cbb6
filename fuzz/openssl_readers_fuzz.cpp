// The open provider's readers of outside input: DER certificates, CMS signed
// and enveloped messages (through the entry points, as the library calls
// them), PKCS#12 key stores, PEM certificate stores and the reader of the
// provider's own enveloped messages. The first byte picks
// the reader; every block handed out must come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core.h"
#include "envelope.h"
#include "provider/cpki1_api.h"

extern "C" {
#define FUZZ_DECLARE(name, type, required) std::remove_pointer_t<type> name;
CPKI1_ENTRY_POINTS(FUZZ_DECLARE)
#undef FUZZ_DECLARE
int32_t CPKI1_OutstandingBlocks(void);
}

namespace {

TelvoraSession OpenSession() {
  // A certificate store that does not exist yet: the readers need no content.
  static const std::string store = "/tmp/cpki1-fuzz-" + std::to_string(::getpid()) + ".pem";
  TelvoraOpenParams open{};
  open.Size = static_cast<int32_t>(sizeof open);
  const std::string url = "file://" + store;
  open.StoreUrl = url.c_str();
  TelvoraSession session = 0;
  if (VCERT_InitializeEx(1, &open, &session) != 0) std::abort();
  return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  static const TelvoraSession session = OpenSession();
  if (size < 1 || size > 65536) return 0;
  std::string body(reinterpret_cast<const char *>(data) + 1, size - 1);
  TelvoraBlob blob{static_cast<int32_t>(body.size()), reinterpret_cast<uint8_t *>(body.data())};
  switch (data[0] % 6) {
    case 0: {
      TelvoraCertInfo info{};
      if (VCERT_ParseCert(session, &blob, TELVORA_FIELD_ALL, &info) == 0) VCERT_FreeCert(session, &info);
      break;
    }
    case 1: {
      TelvoraVerifyParams params{};
      params.Flags = (data[0] & 0x10) != 0 ? 3 : 1;
      params.Fields = TELVORA_FIELD_ALL;
      TelvoraBlob content{};
      TelvoraVerifyResult result{};
      if (VCERT_VerifyMem(session, &params, nullptr, &blob, &content, &result) == 0) {
        if (content.Data != nullptr) VCERT_FreeMem(session, content.Data);
        VCERT_FreeVerifyResult(session, &result);
      }
      break;
    }
    case 2: {
      TelvoraDecryptParams params{1, nullptr, 0};
      TelvoraBlob out{};
      TelvoraCertInfo sender{};
      if (VCERT_DecryptMem(session, &params, &blob, &out, &sender) == 0) {
        VCERT_FreeMem(session, out.Data);
        VCERT_FreeDecryptResult(session, &sender);
      }
      break;
    }
    case 3: {
      cpki1::KeyStoreData keys;
      cpki1::ParseKeyStore(cpki1::Bytes(body.begin(), body.end()), "", keys);
      break;
    }
    case 4: {
      cpki1::CertStoreData certs;
      cpki1::ParseCertStore(cpki1::Bytes(body.begin(), body.end()), certs);
      break;
    }
    default: {
      // Every span it gives lies inside the input.
      const auto *begin = reinterpret_cast<const uint8_t *>(body.data()), *end = begin + body.size();
      auto inside = [&](const cpki1::envelope::Span &s) {
        return s.size == 0 || (s.data >= begin && s.data <= end && s.size <= static_cast<std::size_t>(end - s.data));
      };
      if (auto m = cpki1::envelope::Read(begin, body.size())) {
        bool ok = inside(m->iv) && inside(m->content) && inside(m->tag) && !m->keys.empty();
        for (const auto &k : m->keys)
          ok = ok && inside(k.curve) && inside(k.point) && inside(k.issuer) && inside(k.serial) && inside(k.encryptedKey);
        if (!ok) std::abort();
      }
      break;
    }
  }
  if (CPKI1_OutstandingBlocks() != 0) std::abort();
  return 0;
}
