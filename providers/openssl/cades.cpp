// signingCertificateV2 written, signingCertificate(V2) checked.
#include "cades.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include "chain_checks.h"
#include "core.h"
#include "der.h"
#include "gost.h"
#include "status.h"

namespace cpki1::cades {

const Bytes kOidSigningCertificateV2{der::kOid, 11, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x02, 0x2F};

namespace {

constexpr uint8_t kDirectoryName = der::Context(4);  // GeneralName [4] EXPLICIT Name

// The digest an ESSCertIDv2 names by the encoding of its algorithm's OID.
int32_t DigestOf(der::Span oid, const EVP_MD *&md) {
  const uint8_t *p = oid.data;
  std::unique_ptr<ASN1_OBJECT, Freer<ASN1_OBJECT_free>> object(
      d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.size)));
  if (!object || p != oid.data + oid.size) return kBadEncoding;
  const int nid = OBJ_obj2nid(object.get());
  if (nid == NID_id_GostR3411_2012_256 || nid == NID_id_GostR3411_2012_512) {
    md = gost::Streebog(nid == NID_id_GostR3411_2012_256 ? 256 : 512);
    return md != nullptr ? kOk : kGostUnavailable;
  }
  if (DigestWeak(nid)) return kWeakAlgorithm;
  md = EVP_get_digestbynid(nid);
  return md != nullptr ? kOk : kWeakAlgorithm;
}

// Whether a serial number (DER, whose integers have one encoding) is the
// certificate's.
int32_t CheckSerial(const der::Element &serial, X509 *cert) {
  const Bytes own = der::Encode<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert));
  if (own.empty()) return kInternal;
  return serial.whole == der::Span{own.data(), own.size()} ? kOk : kSigningCertMismatch;
}

// Whether an IssuerSerial names the certificate: exactly one general name, the
// directory name of the certificate's issuer, and its serial number.
int32_t CheckIssuerSerial(der::Span issuerSerial, X509 *cert) {
  der::Cursor in(issuerSerial);
  der::Element names, serial;
  if (!in.Take(der::kSequence, names) || !in.Take(der::kInteger, serial) || !in.AtEnd()) return kBadEncoding;
  der::Cursor list(names.content);
  der::Element name;
  if (!list.Next(name)) return kBadEncoding;
  if (name.tag != kDirectoryName || !list.AtEnd()) return kSigningCertMismatch;
  // The same encoding as the certificate's (the usual case) needs no parsing;
  // another is compared as X509_NAME_cmp compares names.
  const unsigned char *ownName = nullptr;
  std::size_t ownNameLen = 0;
  if (X509_NAME_get0_der(X509_get_issuer_name(cert), &ownName, &ownNameLen) == 1 &&
      name.content == der::Span{ownName, ownNameLen})
    return CheckSerial(serial, cert);
  const uint8_t *p = name.content.data;
  NamePtr issuer(d2i_X509_NAME(nullptr, &p, static_cast<long>(name.content.size)));
  if (!issuer || p != name.content.data + name.content.size) return kBadEncoding;
  if (X509_NAME_cmp(issuer.get(), X509_get_issuer_name(cert)) != 0) return kSigningCertMismatch;
  return CheckSerial(serial, cert);
}

// SigningCertificate(V2) ::= SEQUENCE { certs SEQUENCE OF ESSCertID(v2),
// policies SEQUENCE OF PolicyInformation OPTIONAL }, where
// ESSCertIDv2 ::= SEQUENCE { hashAlgorithm AlgorithmIdentifier DEFAULT sha256,
// certHash OCTET STRING, issuerSerial IssuerSerial OPTIONAL } and ESSCertID
// the same without hashAlgorithm (SHA-1). The first names the signer's
// certificate; the others (its chain, when given) are only read.
int32_t CheckValue(der::Span value, bool v2, X509 *cert) {
  der::Cursor top(value);
  der::Element whole, ids, policies, first;
  if (!top.Take(der::kSequence, whole) || !top.AtEnd()) return kBadEncoding;
  der::Cursor body(whole.content);
  if (!body.Take(der::kSequence, ids)) return kBadEncoding;
  if (!body.AtEnd() && (!body.Take(der::kSequence, policies) || !body.AtEnd())) return kBadEncoding;
  der::Cursor list(ids.content);
  if (!list.Take(der::kSequence, first)) return kBadEncoding;
  while (!list.AtEnd()) {
    der::Element other;
    if (!list.Take(der::kSequence, other)) return kBadEncoding;
  }

  der::Cursor id(first.content);
  const EVP_MD *md = v2 ? Algs().sha256 : EVP_sha1();
  der::Element algorithm, hash, issuerSerial;
  if (v2 && id.Take(der::kSequence, algorithm)) {
    der::Cursor alg(algorithm.content);
    der::Element oid, parameters;
    if (!alg.Take(der::kOid, oid)) return kBadEncoding;
    if (!alg.AtEnd() && (!alg.Next(parameters) || !alg.AtEnd())) return kBadEncoding;
    if (int32_t st = DigestOf(oid.whole, md); st != kOk) return st;
  }
  if (!id.Take(der::kOctetString, hash)) return kBadEncoding;
  const bool named = !id.AtEnd();
  if (named && (!id.Take(der::kSequence, issuerSerial) || !id.AtEnd())) return kBadEncoding;

  const Bytes certDer = CertDer(cert);
  unsigned char own[EVP_MAX_MD_SIZE];
  unsigned int ownLen = 0;
  if (md == nullptr || certDer.empty() || !EVP_Digest(certDer.data(), certDer.size(), own, &ownLen, md, nullptr))
    return kInternal;
  if (!(hash.content == der::Span{own, ownLen})) return kSigningCertMismatch;
  return named ? CheckIssuerSerial(issuerSerial.content, cert) : kOk;
}

// The one attribute of a type among the signed ones, with its one value.
int32_t CheckAttribute(CMS_SignerInfo *si, int nid, bool v2, X509 *cert) {
  const int at = CMS_signed_get_attr_by_NID(si, nid, -1);
  if (at < 0) return kOk;
  if (CMS_signed_get_attr_by_NID(si, nid, at) >= 0) return kBadEncoding;
  X509_ATTRIBUTE *attr = CMS_signed_get_attr(si, at);
  if (attr == nullptr || X509_ATTRIBUTE_count(attr) != 1) return kBadEncoding;
  // A SEQUENCE value is kept as its whole encoding.
  const ASN1_TYPE *t = X509_ATTRIBUTE_get0_type(attr, 0);
  if (t == nullptr || t->type != V_ASN1_SEQUENCE || t->value.sequence == nullptr) return kBadEncoding;
  const ASN1_STRING *s = t->value.sequence;
  const int length = ASN1_STRING_length(s);
  if (length <= 0) return kBadEncoding;
  return CheckValue(der::Span{ASN1_STRING_get0_data(s), static_cast<std::size_t>(length)}, v2, cert);
}

}  // namespace

Bytes SigningCertificateV2(const Bytes &certDer, const Bytes &issuerDer, const Bytes &serialDer) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hashLen = 0;
  if (certDer.empty() || issuerDer.empty() || serialDer.empty() ||
      !EVP_Digest(certDer.data(), certDer.size(), hash, &hashLen, Algs().sha256, nullptr))
    return {};
  const Bytes certHash = der::Tlv(der::kOctetString, hash, hashLen);
  const Bytes names = der::Tlv(der::kSequence, der::Tlv(kDirectoryName, issuerDer));
  const Bytes issuerSerial = der::Tlv(der::kSequence, der::Cat({&names, &serialDer}));
  const Bytes id = der::Tlv(der::kSequence, der::Cat({&certHash, &issuerSerial}));
  return der::Tlv(der::kSequence, der::Tlv(der::kSequence, id));
}

bool AddSigningCertificateV2(CMS_SignerInfo *si, X509 *cert) {
  if (si == nullptr || cert == nullptr) return false;
  const Bytes issuer = der::Encode<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(cert));
  const Bytes serial = der::Encode<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert));
  const Bytes value = SigningCertificateV2(CertDer(cert), issuer, serial);
  if (value.empty()) return false;
  // A SEQUENCE attribute value is handed over as its whole encoding.
  std::unique_ptr<ASN1_STRING, Freer<ASN1_STRING_free>> sequence(ASN1_STRING_new());
  if (!sequence || !ASN1_STRING_set(sequence.get(), value.data(), static_cast<int>(value.size()))) return false;
  return CMS_signed_add1_attr_by_NID(si, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE, sequence.get(),
                                     -1) == 1;
}

int32_t CheckSigningCertificate(CMS_SignerInfo *si, X509 *signer) {
  if (si == nullptr || signer == nullptr) return kInternal;
  if (int32_t st = CheckAttribute(si, NID_id_smime_aa_signingCertificateV2, true, signer); st != kOk) return st;
  return CheckAttribute(si, NID_id_smime_aa_signingCertificate, false, signer);
}

}  // namespace cpki1::cades
