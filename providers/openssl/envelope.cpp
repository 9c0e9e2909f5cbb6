// libcpki1.so: the reader of the enveloped messages the provider writes for
// EC recipients (see envelope.h).
#include "envelope.h"

#include <openssl/err.h>

#include <cstring>

#include "der.h"

namespace cpki1::envelope {

using der::kOidData;

const Bytes kOidEnvelopedData{0x06, 9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
const Bytes kOidAuthEnvelopedData{0x06, 11, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x17};
const Bytes kOidAes256Gcm{0x06, 9, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2E};
const Bytes kOidAes256Cbc{0x06, 9, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
const Bytes kAlgEcPublicKey{0x30, 9, 0x06, 7, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
const Bytes kAlgAes256Wrap{0x30, 11, 0x06, 9, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2D};
// dhSinglePass-stdDH-sha256kdf-scheme (1.3.132.1.11.1) with the wrapping algorithm.
const Bytes kAlgKeyAgreement{0x30, 21,   0x06, 6,    0x2B, 0x81, 0x04, 0x01, 0x0B, 0x01, 0x30, 11,   0x06,
                             9,    0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2D};

namespace {

bool Is(const Span &s, const Bytes &b) { return s == Span{b.data(), b.size()}; }

using der::Cursor;
using der::Element;

// The content of an OBJECT IDENTIFIER as OpenSSL decodes one: not empty,
// no subidentifier with a leading 0x80, the last one ended.
bool WellFormedOid(Span s) {
  if (s.size == 0 || (s.data[s.size - 1] & 0x80) != 0) return false;
  for (std::size_t i = 0; i < s.size; ++i) {
    if (s.data[i] == 0x80 && (i == 0 || (s.data[i - 1] & 0x80) == 0)) return false;
  }
  return true;
}

// The content of an INTEGER in DER: not empty, no leading byte that only
// repeats the sign.
bool WellFormedInteger(Span s) {
  if (s.size == 0) return false;
  if (s.size == 1) return true;
  return !((s.data[0] == 0x00 && (s.data[1] & 0x80) == 0) || (s.data[0] == 0xFF && (s.data[1] & 0x80) != 0));
}

// A Name (whole TLV) as OpenSSL's own decoder reads one, exactly: it checks
// more than the structure (the strings' encodings). Names accepted in this
// message, or lately on this thread (the same issuers come again and again;
// decoding one costs a tenth of a decryption), are not decoded again.
bool WellFormedName(Span s, std::vector<Span> &accepted) {
  for (const Span &a : accepted) {
    if (a == s) return true;
  }
  thread_local struct {
    Bytes names[8];
    std::size_t next = 0;
  } lately;
  for (const Bytes &n : lately.names) {
    if (Is(s, n)) {
      accepted.push_back(s);
      return true;
    }
  }
  const unsigned char *p = s.data;
  NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(s.size)));
  if (!name || p != s.data + s.size) {
    ERR_clear_error();
    return false;
  }
  accepted.push_back(s);
  lately.names[lately.next++ % 8].assign(s.data, s.data + s.size);
  return true;
}

// A KeyAgreeRecipientInfo's content: its keys appended to out. Every
// recipient key is read to the same rules, whoever it is for: a message
// OpenSSL would refuse to read is not this shape either, so the two readers
// never disagree on it.
bool ReadAgreement(Span info, std::vector<AgreedKey> &out, std::vector<Span> &names) {
  Cursor k(info);
  Element version, originator, key, algorithm, oid, bits, scheme, keys;
  if (!k.Take(0x02, version) || !Is(version.whole, Bytes{0x02, 1, 3})) return false;
  if (!k.Take(0xA0, originator)) return false;
  Cursor o(originator.content);
  if (!o.Take(0xA1, key) || !o.AtEnd()) return false;  // [1] originatorKey only
  Cursor ok(key.content);
  if (!ok.Take(0x30, algorithm) || !ok.Take(0x03, bits) || !ok.AtEnd()) return false;
  Cursor a(algorithm.content);
  if (!a.Take(0x06, oid) || !Is(oid.whole, Bytes(kAlgEcPublicKey.begin() + 2, kAlgEcPublicKey.end()))) return false;
  AgreedKey common;
  if (!a.AtEnd()) {
    Element parameters;
    if (!a.Next(parameters) || !a.AtEnd()) return false;
    if (parameters.tag == 0x06) {
      if (!WellFormedOid(parameters.content)) return false;
      common.curve = parameters.whole;
    } else if (parameters.tag != 0x05 || parameters.content.size != 0) {
      return false;
    }
  }
  // Whole bytes: no unused bits, and a point after them.
  if (bits.content.size < 2 || bits.content.data[0] != 0) return false;
  common.point = Span{bits.content.data + 1, bits.content.size - 1};
  // No user keying material ([1]): the key-encryption algorithm follows.
  if (!k.Take(0x30, scheme) || !Is(scheme.whole, kAlgKeyAgreement)) return false;
  if (!k.Take(0x30, keys) || !k.AtEnd()) return false;
  Cursor r(keys.content);
  if (r.AtEnd()) return false;
  while (!r.AtEnd()) {
    Element one, rid, wrapped;
    if (!r.Take(0x30, one)) return false;
    Cursor e(one.content);
    if (!e.Next(rid) || !e.Take(0x04, wrapped) || !e.AtEnd()) return false;
    AgreedKey got = common;
    if (rid.tag == 0x30) {
      Cursor is(rid.content);
      Element issuer, serial;
      if (!is.Take(0x30, issuer) || !is.Take(0x02, serial) || !is.AtEnd() ||
          !WellFormedInteger(serial.content) || !WellFormedName(issuer.whole, names))
        return false;
      got.issuer = issuer.whole;
      got.serial = serial.whole;
    } else {  // [0] rKeyId: the provider never names a key so; OpenSSL reads it
      return false;
    }
    got.encryptedKey = wrapped.content;
    out.push_back(got);
  }
  return true;
}

// EncryptedContentInfo: id-data, the algorithm with its IV, the content.
bool ReadEncrypted(Span info, Message &m) {
  Cursor c(info);
  Element type, algorithm, oid, content;
  if (!c.Take(0x06, type) || !Is(type.whole, kOidData) || !c.Take(0x30, algorithm)) return false;
  Cursor a(algorithm.content);
  if (!a.Take(0x06, oid)) return false;
  Element iv;
  if (m.gcm) {
    Element parameters, icvLength;
    if (!Is(oid.whole, kOidAes256Gcm) || !a.Take(0x30, parameters) || !a.AtEnd()) return false;
    Cursor p(parameters.content);
    if (!p.Take(0x04, iv) || iv.content.size != kNonceBytes || !p.Take(0x02, icvLength) ||
        !Is(icvLength.whole, Bytes{0x02, 1, static_cast<uint8_t>(kTagBytes)}) || !p.AtEnd())
      return false;
  } else {
    if (!Is(oid.whole, kOidAes256Cbc) || !a.Take(0x04, iv) || iv.content.size != 16 || !a.AtEnd()) return false;
  }
  // [0] IMPLICIT OCTET STRING, primitive.
  if (!c.Take(0x80, content) || !c.AtEnd()) return false;
  m.iv = iv.content;
  m.content = content.content;
  return true;
}

}  // namespace

bool AuthTagSound(const uint8_t *der, std::size_t size) {
  if (der == nullptr) return false;
  Cursor top(Span{der, size});
  Element whole, type, wrapper, body, version, element, encrypted, mac;
  if (!top.Take(0x30, whole) || !top.AtEnd()) return false;
  Cursor ci(whole.content);
  if (!ci.Take(0x06, type) || !Is(type.whole, kOidAuthEnvelopedData) || !ci.Take(0xA0, wrapper) || !ci.AtEnd())
    return false;
  Cursor w(wrapper.content);
  if (!w.Take(0x30, body) || !w.AtEnd()) return false;
  // version, [0] originatorInfo OPTIONAL, recipientInfos, authEncryptedContentInfo.
  Cursor b(body.content);
  if (!b.Take(0x02, version)) return false;
  b.Take(0xA0, element);
  if (!b.Take(0x31, element) || !b.Take(0x30, encrypted)) return false;
  // contentType, contentEncryptionAlgorithm: AES-GCM of any key size with its
  // GCMParameters { aes-nonce, aes-ICVlen DEFAULT 12 }; the content may follow.
  Cursor e(encrypted.content);
  Element algorithm, oid, parameters, nonce, icv;
  if (!e.Take(0x06, type) || !e.Take(0x30, algorithm)) return false;
  Cursor a(algorithm.content);
  if (!a.Take(0x06, oid) || !a.Take(0x30, parameters) || !a.AtEnd()) return false;
  const bool gcm = oid.content.size == 9 && std::memcmp(oid.content.data, kOidAes256Gcm.data() + 2, 8) == 0 &&
                   (oid.content.data[8] == 0x06 || oid.content.data[8] == 0x1A || oid.content.data[8] == 0x2E);
  if (!gcm) return false;
  Cursor p(parameters.content);
  std::size_t icvLength = 12;
  if (!p.Take(0x04, nonce)) return false;
  if (p.Take(0x02, icv)) {
    if (icv.content.size != 1) return false;
    icvLength = icv.content.data[0];
  }
  if (!p.AtEnd() || icvLength < 12 || icvLength > kTagBytes) return false;
  // [1] authAttrs OPTIONAL, then the mac.
  b.Take(0xA1, element);
  return b.Take(0x04, mac) && mac.content.size == icvLength;
}

std::optional<Message> Read(const uint8_t *der, std::size_t size) {
  if (der == nullptr) return std::nullopt;
  Cursor top(Span{der, size});
  Element whole, type, wrapper, body, version, infos, encrypted;
  if (!top.Take(0x30, whole) || !top.AtEnd()) return std::nullopt;
  Cursor ci(whole.content);
  if (!ci.Take(0x06, type) || !ci.Take(0xA0, wrapper) || !ci.AtEnd()) return std::nullopt;
  Message m;
  if (Is(type.whole, kOidAuthEnvelopedData)) {
    m.gcm = true;
  } else if (!Is(type.whole, kOidEnvelopedData)) {
    return std::nullopt;
  }
  Cursor w(wrapper.content);
  if (!w.Take(0x30, body) || !w.AtEnd()) return std::nullopt;
  Cursor b(body.content);
  // Version 0 for AuthEnvelopedData, 2 for EnvelopedData with key agreement;
  // then no originatorInfo ([0]): the recipients follow.
  if (!b.Take(0x02, version) || !Is(version.whole, Bytes{0x02, 1, static_cast<uint8_t>(m.gcm ? 0 : 2)}) ||
      !b.Take(0x31, infos))
    return std::nullopt;
  Cursor r(infos.content);
  if (r.AtEnd()) return std::nullopt;
  std::vector<Span> names;
  while (!r.AtEnd()) {
    Element agreement;
    if (!r.Take(0xA1, agreement) || !ReadAgreement(agreement.content, m.keys, names)) return std::nullopt;
  }
  if (!b.Take(0x30, encrypted) || !ReadEncrypted(encrypted.content, m)) return std::nullopt;
  if (m.gcm) {
    // No authenticated attributes ([1]) before the tag, none unauthenticated ([2]) after it.
    Element mac;
    if (!b.Take(0x04, mac) || mac.content.size != kTagBytes) return std::nullopt;
    m.tag = mac.content;
  }
  if (!b.AtEnd()) return std::nullopt;  // also EnvelopedData's unprotectedAttrs ([1])
  return m;
}

}  // namespace cpki1::envelope
