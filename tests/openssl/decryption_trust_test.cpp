// What the provider decides when it opens messages made by the openssl
// command and then changed as an attacker would: a GCM tag cut short, a
// recipient named by texts that fit two certificates, another recipient's
// entry that OpenSSL cannot read, an originator point in compressed form.
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include <cstring>

#include "openssl_support.h"

namespace cpki1test {
namespace {

constexpr int32_t kAmbiguousRecipient = S(0xE072012Au);

// A DER element as a tree, to change one part of a message and encode the
// lengths around it again.
struct Node {
  uint8_t tag = 0;
  Bytes content;  // primitive
  std::vector<Node> kids;  // constructed
};

bool Parse(const uint8_t *&p, const uint8_t *end, Node &out) {
  if (end - p < 2) return false;
  out.tag = *p++;
  std::size_t len = *p++;
  if (len & 0x80) {
    std::size_t digits = len & 0x7F;
    if (digits == 0 || digits > 4 || static_cast<std::size_t>(end - p) < digits) return false;
    for (len = 0; digits > 0; --digits) len = (len << 8) | *p++;
  }
  if (static_cast<std::size_t>(end - p) < len) return false;
  const uint8_t *stop = p + len;
  if ((out.tag & 0x20) == 0) {
    out.content.assign(p, stop);
    p = stop;
    return true;
  }
  while (p < stop) {
    out.kids.emplace_back();
    if (!Parse(p, stop, out.kids.back())) return false;
  }
  return true;
}

Node Tree(const Bytes &der) {
  Node root;
  const uint8_t *p = der.data();
  EXPECT_TRUE(Parse(p, der.data() + der.size(), root) && p == der.data() + der.size());
  return root;
}

Bytes Der(const Node &n) {
  Bytes content = n.content;
  for (const Node &k : n.kids) {
    const Bytes kid = Der(k);
    content.insert(content.end(), kid.begin(), kid.end());
  }
  Bytes out{n.tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    Bytes digits;
    for (std::size_t v = content.size(); v > 0; v >>= 8) digits.insert(digits.begin(), static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// Parts of an AuthEnvelopedData: its body (version, recipientInfos,
// authEncryptedContentInfo, mac) and a key agreement's recipient keys.
Node &Body(Node &message) { return message.kids.at(1).kids.at(0); }
Node &Recipients(Node &message) { return Body(message).kids.at(1); }
Node &KeysOf(Node &agreement) { return agreement.kids.at(3); }
Node &PointOf(Node &agreement) { return agreement.kids.at(1).kids.at(0).kids.at(1); }

// openssl cms -encrypt with AES-256-GCM for the parties (EC keys with the
// SHA-256 KDF, RSA keys with OAEP), DER.
Bytes OpensslSealed(const std::vector<std::string> &parties, const Bytes &data) {
  WriteBytes(W().Path("dt-plain.bin"), data);
  std::string line = "openssl cms -encrypt -binary -aes-256-gcm -outform DER -in " + F("dt-plain.bin") + " -out " +
                     F("dt-sealed.p7e");
  for (const std::string &p : parties) {
    line += " -recip " + F(p + ".der") +
            (p == "rita" ? " -keyopt rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256" : " -keyopt ecdh_kdf_md:sha256");
  }
  EXPECT_EQ(Shell(line), 0);
  return ReadBytes(W().Path("dt-sealed.p7e"));
}

// Whether openssl cms -decrypt opens the message for the party, to data.
bool OpensslOpens(const Bytes &message, const std::string &party, const Bytes &data) {
  WriteBytes(W().Path("dt-in.p7e"), message);
  std::filesystem::remove(W().Path("dt-out.bin"));
  const int st = ShellStatus("openssl cms -decrypt -binary -inform DER -in " + F("dt-in.p7e") + " -recip " +
                             F(party + ".der") + " -inkey " + F(party + ".key") + " -out " + F("dt-out.bin") +
                             " 2>/dev/null");
  return st == 0 && ReadBytes(W().Path("dt-out.bin")) == data;
}

// OpenSSL takes the tag's length from the mac field; the provider holds the
// mac to the ICV length of the GCM parameters, and that to 12 bytes at least.
TEST_F(ProviderTest, AGcmTagShorterThanItsParametersSayOpensNothing) {
  const Bytes data = Text("PAY 100 TO BOB");
  struct Case {
    uint8_t icv;
    std::size_t mac;
    bool opens;
  } cases[] = {{16, 16, true}, {12, 12, true}, {16, 12, false}, {16, 4, false}, {4, 4, false}};
  for (const std::string party : {"bob", "rita"}) {
    Session s(W().Path(party + ".pse"), W().Path("store.pem"));
    const Bytes sealed = OpensslSealed({party}, data);
    for (const Case &c : cases) {
      Node message = Tree(sealed);
      Node &icv = Body(message).kids.at(2).kids.at(1).kids.at(1).kids.at(1);
      Node &mac = Body(message).kids.at(3);
      ASSERT_EQ(icv.content, Bytes{16});
      ASSERT_EQ(mac.content.size(), 16u);
      icv.content = {c.icv};
      mac.content.resize(c.mac);  // GCM's shorter tags are the full tag's first bytes
      Bytes plain;
      const int32_t st = Decrypt(s, Der(message), &plain);
      EXPECT_EQ(st, c.opens ? 0 : kDecryptFailed) << party << " ICV " << int{c.icv} << " mac " << c.mac;
      if (c.opens) {
        EXPECT_EQ(plain, data) << party;
      }
    }
  }
}

// Texts of issuer and serial lose what tells two CAs apart ('ë' and 'é' are
// both '?' in Windows-1251): a recipient named by them alone is refused once
// they fit two certificates, and named by its encoding it is found.
TEST_F(ProviderTest, ARecipientNamedByTextsThatFitTwoCertificatesIsRefused) {
  const char ext[] = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyAgreement\n";
  WriteBytes(W().Path("zoe.ext"), Bytes(ext, ext + std::strlen(ext)));
  for (const std::string n : {"1", "2"}) {
    const std::string ca = "zoe" + n + "-ca", leaf = "zoe" + n;
    ASSERT_EQ(Shell("openssl req -x509 -new -utf8 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj " +
                    Quote(n == "1" ? "/CN=Zo\xC3\xAB CA" : "/CN=Zo\xC3\xA9 CA") + " -addext basicConstraints=critical,CA:TRUE" +
                    " -addext keyUsage=critical,keyCertSign,cRLSign -keyout " + F(ca + ".key") + " -out " + F(ca + ".pem") +
                    " && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + leaf +
                    " -keyout " + F(leaf + ".key") + " -out " + F(leaf + ".csr") + " && openssl x509 -req -in " +
                    F(leaf + ".csr") + " -CA " + F(ca + ".pem") + " -CAkey " + F(ca + ".key") +
                    " -set_serial 0x1234 -days 30 -extfile " + F("zoe.ext") + " -outform DER -out " + F(leaf + ".der")),
              0);
  }
  const std::string store = W().Path("zoe-store.pem");
  std::filesystem::copy_file(W().Path("store.pem"), store, std::filesystem::copy_options::overwrite_existing);
  const std::string tool = Quote(W().tool) + " store --store " + Quote(store) + " ";
  ASSERT_EQ(Shell(tool + F("zoe1-ca.pem") + " " + F("zoe1.der")), 0);
  Session alice(W().Path("alice.pse"), store);

  // The texts the library's search hands out for zoe1, as it names recipients.
  const Bytes zoe1 = ReadBytes(W().Path("zoe1.der")), zoe2 = ReadBytes(W().Path("zoe2.der"));
  auto texts = [&](const Bytes &cert) {
    TelvoraBlob blob = Blob(cert);
    TelvoraCertInfo info{};
    EXPECT_EQ(P().VCERT_ParseCert(alice, &blob, TELVORA_FIELD_ISSUER | TELVORA_FIELD_SERIAL, &info), 0);
    std::pair<std::string, std::string> t{info.Issuer != nullptr ? info.Issuer : "",
                                          info.SerialNumber != nullptr ? info.SerialNumber : ""};
    EXPECT_EQ(P().VCERT_FreeCert(alice, &info), 0);
    return t;
  };
  const auto named = texts(zoe1);
  ASSERT_EQ(named, texts(zoe2));
  auto encryptByTexts = [&] {
    TelvoraCertInfo rec{};
    rec.Issuer = named.first.c_str();
    rec.SerialNumber = named.second.c_str();
    TelvoraCryptParams cp{1, nullptr, 1, &rec};
    const Bytes data = Text("for zoe");
    TelvoraBlob in = Blob(data), out{};
    const int32_t st = P().VCERT_EncryptMem(alice, &cp, &in, &out);
    if (st == 0) Take(alice, out);
    return st;
  };
  EXPECT_EQ(encryptByTexts(), 0);  // one certificate fits

  ASSERT_EQ(Shell(tool + F("zoe2-ca.pem") + " " + F("zoe2.der")), 0);
  EXPECT_EQ(encryptByTexts(), kAmbiguousRecipient);
  for (const Bytes *cert : {&zoe1, &zoe2}) EXPECT_EQ(EncryptFor(alice, {*cert}, Text("for zoe")), 0);
}

// A message for bob and alice whose entry for alice OpenSSL cannot read:
// openssl cms -decrypt refuses it for bob, and so does the provider, although
// bob's own entry is whole.
TEST_F(ProviderTest, AnotherRecipientsEntryOpenSslCannotReadOpensNothing) {
  const Bytes data = Text("to bob, copy to alice");
  const Bytes sealed = OpensslSealed({"bob", "alice"}, data);
  Session bob(W().Path("bob.pse"), W().Path("store.pem"));
  Bytes plain;
  ASSERT_TRUE(OpensslOpens(sealed, "bob", data));
  ASSERT_EQ(Decrypt(bob, sealed, &plain), 0);
  EXPECT_EQ(plain, data);

  // Alice's key agreement: the one whose recipient is named by her serial.
  const Bytes aliceDer = ReadBytes(W().Path("alice.der"));
  const unsigned char *p = aliceDer.data();
  X509 *aliceCert = d2i_X509(nullptr, &p, static_cast<long>(aliceDer.size()));
  ASSERT_NE(aliceCert, nullptr);
  unsigned char *serialDer = nullptr;
  const int serialLen = i2d_ASN1_INTEGER(X509_get0_serialNumber(aliceCert), &serialDer);
  const Bytes aliceSerial(serialDer, serialDer + std::max(serialLen, 0));
  OPENSSL_free(serialDer);
  X509_free(aliceCert);
  const Node original = Tree(sealed);
  Node copy = original;
  std::size_t alice = 2;
  for (std::size_t i = 0; i < 2; ++i) {
    if (Der(KeysOf(Recipients(copy).kids.at(i)).kids.at(0).kids.at(0).kids.at(1)) == aliceSerial) alice = i;
  }
  ASSERT_LT(alice, 2u);

  const Node integerOne{0x02, {0x01}, {}};
  struct Change {
    const char *what;
    void (*apply)(Node &agreement, const Node &integerOne);
  } changes[] = {
      {"serial padded", [](Node &a, const Node &) { KeysOf(a).kids.at(0).kids.at(0).kids.at(1).content = {0x00, 0x01}; }},
      {"serial empty", [](Node &a, const Node &) { KeysOf(a).kids.at(0).kids.at(0).kids.at(1).content.clear(); }},
      {"issuer not a Name", [](Node &a, const Node &one) { KeysOf(a).kids.at(0).kids.at(0).kids.at(0).kids = {one}; }},
      {"key identifier not one", [](Node &a, const Node &one) { KeysOf(a).kids.at(0).kids.at(0) = Node{0xA0, {}, {one}}; }},
      {"curve OID malformed",
       [](Node &a, const Node &) { a.kids.at(1).kids.at(0).kids.at(0).kids.push_back(Node{0x06, {0x2A, 0x86}, {}}); }},
  };
  for (const Change &c : changes) {
    Node message = original;
    c.apply(Recipients(message).kids.at(alice), integerOne);
    const Bytes changed = Der(message);
    EXPECT_FALSE(OpensslOpens(changed, "bob", data)) << c.what;
    EXPECT_NE(Decrypt(bob, changed), 0) << c.what;
  }
}

// OpenSSL reads an originator point in compressed form; so does the provider,
// and a changed one opens nothing.
TEST_F(ProviderTest, ACompressedOriginatorPointOpensAsOpenSslOpensIt) {
  const Bytes data = Text("compressed");
  Node message = Tree(OpensslSealed({"bob"}, data));
  Node &bits = PointOf(Recipients(message).kids.at(0));
  ASSERT_EQ(bits.content.size(), 66u);  // no unused bits, 04 X Y
  EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  EC_POINT *point = EC_POINT_new(group);
  ASSERT_EQ(EC_POINT_oct2point(group, point, bits.content.data() + 1, 65, nullptr), 1);
  uint8_t compressed[33];
  ASSERT_EQ(EC_POINT_point2oct(group, point, POINT_CONVERSION_COMPRESSED, compressed, sizeof compressed, nullptr), 33u);
  EC_POINT_free(point);
  EC_GROUP_free(group);
  bits.content.assign(1, 0x00);
  bits.content.insert(bits.content.end(), compressed, compressed + 33);
  const Bytes changed = Der(message);

  Session bob(W().Path("bob.pse"), W().Path("store.pem"));
  EXPECT_TRUE(OpensslOpens(changed, "bob", data));
  Bytes plain;
  EXPECT_EQ(Decrypt(bob, changed, &plain), 0);
  EXPECT_EQ(plain, data);
  bits.content[33] ^= 0x01;  // another x: off the curve, or another key
  EXPECT_EQ(Decrypt(bob, Der(message)), kDecryptFailed);
}

}  // namespace
}  // namespace cpki1test
