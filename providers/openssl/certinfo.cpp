#include "certinfo.h"

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>

#include "gost.h"
#include "platform/platform.h"

namespace cpki1 {

namespace {

// Unicode code point -> byte of the system code page, built once from the
// platform layer's own table.
struct AnsiTable {
  std::array<std::pair<char32_t, uint8_t>, 128> map{};
  AnsiTable() {
    for (unsigned b = 0x80; b < 0x100; ++b) {
      std::u16string w = crtelv::platform::AnsiToWide(std::string(1, static_cast<char>(b)));
      map[b - 0x80] = {w.empty() ? 0 : static_cast<char32_t>(w[0]), static_cast<uint8_t>(b)};
    }
  }
  char Lookup(char32_t cp) const {
    for (const auto &[code, byte] : map) {
      if (code == cp && code != 0xFFFD && code != 0) return static_cast<char>(byte);
    }
    return '?';
  }
};

const AnsiTable &Table() {
  static const AnsiTable *table = new AnsiTable;  // never destroyed
  return *table;
}

std::string BioText(BIO *bio) {
  char *p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return n > 0 ? std::string(p, static_cast<std::size_t>(n)) : std::string();
}

uint32_t Seconds(const ASN1_TIME *t) {
  auto s = TimeOf(t);
  if (!s || *s < 0) return 0;
  return static_cast<uint32_t>(std::min<int64_t>(*s, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

std::string ToAnsi(const std::string &utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= utf8.size()) {
      out += '?';
      ++i;
      continue;
    }
    char32_t cp = c & (0x3F >> extra);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    out += ok ? Table().Lookup(cp) : '?';
    i += ok ? static_cast<std::size_t>(extra) + 1 : 1;
  }
  return out;
}

std::string DnText(const X509_NAME *name) {
  if (name == nullptr) return {};
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  // RFC 2253 order and escapes, but characters beyond ASCII as UTF-8.
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~static_cast<unsigned long>(ASN1_STRFLGS_ESC_MSB));
  return ToAnsi(BioText(bio.get()));
}

std::string CommonName(const X509_NAME *name) {
  int last = -1;
  for (int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1); i >= 0;
       i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) {
    last = i;
  }
  if (last < 0) return {};
  const ASN1_STRING *value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last));
  unsigned char *utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, value);
  if (n < 0) return {};
  std::string text(reinterpret_cast<char *>(utf8), static_cast<std::size_t>(n));
  OPENSSL_free(utf8);
  return ToAnsi(text);
}

std::string SerialText(const ASN1_INTEGER *serial) {
  BIGNUM *bn = ASN1_INTEGER_to_BN(serial, nullptr);
  if (bn == nullptr) return {};
  Bytes bytes(static_cast<std::size_t>(std::max(1, BN_num_bytes(bn))), 0);
  if (!BN_is_zero(bn)) BN_bn2bin(bn, bytes.data());
  BN_free(bn);
  std::string hex = Hex(bytes.data(), bytes.size()), out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (i) out += ':';
    out.append(hex, i, 2);
  }
  return out;
}

std::string AlgorithmText(X509 *cert) {
  // Read from the algorithm identifier: known also without the GOST engine.
  if (int bits = gost::CertKeyBits(cert); bits != 0) return "GOST R 34.10-2012 " + std::to_string(bits);
  EVP_PKEY *key = X509_get0_pubkey(cert);
  if (key == nullptr) return {};
  if (EVP_PKEY_is_a(key, "EC")) {
    char group[80] = {0};
    std::size_t len = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &len)) {
      const char *nist = EC_curve_nid2nist(OBJ_sn2nid(group));
      return std::string("EC ") + (nist != nullptr ? nist : group);
    }
    return "EC";
  }
  if (EVP_PKEY_is_a(key, "RSA")) return "RSA " + std::to_string(EVP_PKEY_get_bits(key));
  const char *type = EVP_PKEY_get0_type_name(key);
  return type != nullptr ? type : "";
}

std::vector<std::string> ExtKeyUsages(X509 *cert) {
  std::vector<std::string> out;
  EkuPtr eku(static_cast<EXTENDED_KEY_USAGE *>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr)));
  if (!eku) return out;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i) {
    char buf[128];
    int n = OBJ_obj2txt(buf, sizeof buf, sk_ASN1_OBJECT_value(eku.get(), i), 1);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buf) out.emplace_back(buf);
  }
  return out;
}

CertText::CertText(X509 *cert, int32_t fields, const std::string &keyRef) : fields_(fields) {
  if (fields & TELVORA_FIELD_ISSUER) issuer_ = DnText(X509_get_issuer_name(cert));
  if (fields & TELVORA_FIELD_SERIAL) serial_ = SerialText(X509_get0_serialNumber(cert));
  if (fields & TELVORA_FIELD_SUBJECT) subject_ = DnText(X509_get_subject_name(cert));
  if (fields & kFieldAlgorithm) algorithm_ = AlgorithmText(cert);
  if (fields & TELVORA_FIELD_KEYREF) keyRef_ = keyRef;
  if (fields & TELVORA_FIELD_EKU) {
    ekus_ = ExtKeyUsages(cert);
    for (const auto &e : ekus_) ekuPointers_.push_back(e.c_str());
  }
  if (fields & TELVORA_FIELD_ENCODED) encoded_ = CertDer(cert);
  notBefore_ = Seconds(X509_get0_notBefore(cert));
  notAfter_ = Seconds(X509_get0_notAfter(cert));
  // The first byte of the key-usage bit string, digitalSignature = 0x80;
  // the library names its upper four bits after shifting the value left.
  if (X509_get_extension_flags(cert) & EXFLAG_KUSAGE)
    keyUsage_ = static_cast<int32_t>((X509_get_key_usage(cert) & 0xFF) >> 4);
  auto *period =
      static_cast<PKEY_USAGE_PERIOD *>(X509_get_ext_d2i(cert, NID_private_key_usage_period, nullptr, nullptr));
  if (period != nullptr) {
    pkNotBefore_ = Seconds(period->notBefore);
    pkNotAfter_ = Seconds(period->notAfter);
    PKEY_USAGE_PERIOD_free(period);
  }
}

void CertText::Fill(TelvoraCertInfo &rec) const {
  rec.Issuer = Ptr(issuer_, fields_ & TELVORA_FIELD_ISSUER);
  rec.SerialNumber = Ptr(serial_, fields_ & TELVORA_FIELD_SERIAL);
  rec.Subject = Ptr(subject_, fields_ & TELVORA_FIELD_SUBJECT);
  rec.PublicKeyAlgorithm = Ptr(algorithm_, fields_ & kFieldAlgorithm);
  rec.NotBefore = notBefore_;
  rec.NotAfter = notAfter_;
  rec.KeyUsage = keyUsage_;
  rec.PrivateKeyNotBefore = pkNotBefore_;
  rec.PrivateKeyNotAfter = pkNotAfter_;
  rec.KeyReference = (fields_ & TELVORA_FIELD_KEYREF) && !keyRef_.empty() ? keyRef_.c_str() : nullptr;
  rec.ExtKeyUsageCount = static_cast<int32_t>(ekuPointers_.size());
  rec.ExtKeyUsage = ekuPointers_.empty() ? nullptr : ekuPointers_.data();
  if (fields_ & TELVORA_FIELD_ENCODED) {
    rec.Encoded.Length = static_cast<int32_t>(encoded_.size());
    rec.Encoded.Data = const_cast<uint8_t *>(encoded_.data());
  }
}

}  // namespace cpki1
