// The stand-in crypto: deterministic, bound to data and key, and strict
// about every byte.
#include "sim_support.h"

namespace simtest {
namespace {

class SimCrypto : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    SimCert own = Cert{.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN,
                       .ekus = "1.3.6.1.5.5.7.3.4", .keyRef = "k-user1"};
    SimCert peer = Cert{.subject = "CN=Peer,O=Example", .serial = "02", .keyRef = "k-peer"};
    sim.SimAddCert(&own);
    sim.SimAddCert(&peer);
  }
  std::vector<uint8_t> Bytes(TelvoraBlob &blob) {
    std::vector<uint8_t> out(blob.Data, blob.Data + blob.Length);
    Free(blob);
    return out;
  }
  std::vector<uint8_t> Sign(const std::string &data, int32_t flags) {
    TelvoraSignParams p{flags, nullptr};
    TelvoraBlob in = Blob(data), out{};
    EXPECT_EQ(sim.VCERT_SignMem(session, &p, &in, nullptr, &out), 0);
    return Bytes(out);
  }
  // Verifies; on success returns the signer's subject and the content.
  int32_t Verify(const std::vector<uint8_t> &signature, const std::string *data, std::string &signer,
                 std::string &content) {
    TelvoraVerifyParams p{};
    p.Flags = data ? 3 : 5;
    TelvoraBlob sig = Blob(signature.data(), signature.size());
    TelvoraBlob in = data ? Blob(*data) : TelvoraBlob{};
    TelvoraBlob out{};
    TelvoraVerifyResult result{};
    int32_t status = sim.VCERT_VerifyMem(session, &p, data ? &in : nullptr, &sig, &out, &result);
    if (status != 0) {
      EXPECT_EQ(result.Signers, nullptr);
      return status;
    }
    EXPECT_EQ(result.Count, 1);
    signer = result.Signers[0].Cert->Subject;
    content = Text(out);
    Free(out);
    EXPECT_EQ(sim.VCERT_FreeVerifyResult(session, &result), 0);
    return status;
  }
  TelvoraCertInfo Record(const char *cn) {
    TelvoraFindResult r = Find(TELVORA_STORE_OWN | TELVORA_STORE_OTHERS, 4, cn);
    EXPECT_EQ(r.Count, 1);
    TelvoraCertInfo copy = r.Certs[0];
    held.push_back(r);
    return copy;
  }
  void TearDown() override {
    for (auto &r : held) sim.VCERT_FreeFindResult(session, &r);
    SimTest::TearDown();
  }
  std::vector<TelvoraFindResult> held;
};

TEST_F(SimCrypto, HashIs32DeterministicBytes) {
  TelvoraBlob a = Blob("message"), b = Blob("messagf"), h1{}, h2{}, h3{};
  ASSERT_EQ(sim.VCERT_HashMem(session, &a, &h1), 0);
  ASSERT_EQ(sim.VCERT_HashMem(session, &a, &h2), 0);
  ASSERT_EQ(sim.VCERT_HashMem(session, &b, &h3), 0);
  EXPECT_EQ(h1.Length, 32);
  auto x = Bytes(h1), y = Bytes(h2), z = Bytes(h3);
  EXPECT_EQ(x, y);
  EXPECT_NE(x, z);
  TelvoraBlob empty{0, nullptr}, h4{};
  ASSERT_EQ(sim.VCERT_HashMem(session, &empty, &h4), 0);
  EXPECT_EQ(h4.Length, 32);
  Free(h4);
}

TEST_F(SimCrypto, AttachedAndDetachedSignaturesVerify) {
  std::string signer, content;
  auto attached = Sign("payload", 1);
  ASSERT_EQ(Verify(attached, nullptr, signer, content), 0);
  EXPECT_EQ(signer, "CN=User1,O=Example");
  EXPECT_EQ(content, "payload");

  const std::string data = "payload";
  auto detached = Sign(data, 3);
  ASSERT_EQ(Verify(detached, &data, signer, content), 0);
  const std::string other = "payloae";
  EXPECT_EQ(Verify(detached, &other, signer, content), SIM_E_BAD_SIGNATURE);
  EXPECT_EQ(Verify(detached, nullptr, signer, content), SIM_E_BAD_ARGUMENT);
}

TEST_F(SimCrypto, EveryChangedByteBreaksTheSignature) {
  auto signature = Sign("short message", 1);
  std::string signer, content;
  for (size_t i = 0; i < signature.size(); ++i) {
    auto changed = signature;
    changed[i] ^= 0x01;
    EXPECT_NE(Verify(changed, nullptr, signer, content), 0) << "byte " << i;
  }
}

TEST_F(SimCrypto, SignerCountAndSelectorChooseTheSigner) {
  AuthRecord none{1, "k-nobody", 0};
  TelvoraSignParams p{1, &none};
  TelvoraBlob in = Blob("x"), out{};
  EXPECT_EQ(sim.VCERT_SignMem(session, &p, &in, nullptr, &out), SIM_E_NO_KEY);

  auto signature = Sign("x", 1);
  sim.SimSetSignerCount(2);
  TelvoraVerifyParams vp{};
  TelvoraBlob sig = Blob(signature.data(), signature.size());
  TelvoraVerifyResult result{};
  ASSERT_EQ(sim.VCERT_VerifyMem(session, &vp, nullptr, &sig, nullptr, &result), 0);
  ASSERT_EQ(result.Count, 2);
  EXPECT_STREQ(result.Signers[1].Cert->Subject, "CN=User1,O=Example");
  EXPECT_NE(result.Signers[0].Cert, result.Signers[1].Cert);
  EXPECT_EQ(sim.VCERT_FreeVerifyResult(session, &result), 0);
  EXPECT_EQ(result.Signers, nullptr);
}

TEST_F(SimCrypto, OnlyTheRecipientsKeyDecrypts) {
  const TelvoraCertInfo own = Record("CN=User1");
  const TelvoraCertInfo peer = Record("CN=Peer");
  auto seal = [&](const TelvoraCertInfo &to) {
    TelvoraCryptParams p{1, nullptr, 1, &to};
    TelvoraBlob in = Blob("secret"), out{};
    EXPECT_EQ(sim.VCERT_EncryptMem(session, &p, &in, &out), 0);
    return Bytes(out);
  };
  auto open = [&](const std::vector<uint8_t> &message, std::string &plain, std::string &sender) {
    TelvoraDecryptParams p{1, nullptr, 0};
    TelvoraBlob in = Blob(message.data(), message.size()), out{};
    TelvoraCertInfo from{};
    int32_t status = sim.VCERT_DecryptMem(session, &p, &in, &out, &from);
    if (status == 0) {
      plain = Text(out);
      sender = from.Subject ? from.Subject : "";
      Free(out);
      EXPECT_EQ(sim.VCERT_FreeDecryptResult(session, &from), 0);
    }
    return status;
  };
  std::string plain, sender;
  auto forMe = seal(own);
  EXPECT_EQ(std::string(forMe.begin(), forMe.end()).find("secret"), std::string::npos);
  ASSERT_EQ(open(forMe, plain, sender), 0);
  EXPECT_EQ(plain, "secret");
  EXPECT_EQ(sender, "CN=User1,O=Example");
  EXPECT_EQ(open(seal(peer), plain, sender), SIM_E_NOT_RECIPIENT);
  for (size_t i = 0; i < forMe.size(); i += 7) {
    auto changed = forMe;
    changed[i] ^= 0x80;
    EXPECT_NE(open(changed, plain, sender), 0) << "byte " << i;
  }
  TelvoraCryptParams nobody{1, nullptr, 0, nullptr};
  TelvoraBlob in = Blob("x"), out{};
  EXPECT_NE(sim.VCERT_EncryptMem(session, &nobody, &in, &out), 0);
}

TEST_F(SimCrypto, BareHashSignaturesNeedTheSignersCertificate) {
  const TelvoraCertInfo own = Record("CN=User1");
  const TelvoraCertInfo peer = Record("CN=Peer");
  uint8_t hash[32] = {1, 2, 3};
  TelvoraBlob h = Blob(hash, sizeof hash), sig{};
  ASSERT_EQ(sim.VCERT_SignHashMem(session, 0, &h, &sig), 0);
  EXPECT_EQ(sig.Length, 64);
  auto signature = Bytes(sig);
  TelvoraBlob s = Blob(signature.data(), signature.size());
  EXPECT_EQ(sim.VCERT_VerifyHashMem(session, 0, &own.Encoded, &h, &s), 0);
  EXPECT_EQ(sim.VCERT_VerifyHashMem(session, 0, &peer.Encoded, &h, &s), SIM_E_BAD_SIGNATURE);
  hash[31] = 9;
  EXPECT_EQ(sim.VCERT_VerifyHashMem(session, 0, &own.Encoded, &h, &s), SIM_E_BAD_SIGNATURE);
  EXPECT_EQ(sim.LastCall(), "VCERT_VerifyHashMem session=" + std::to_string(session) + " flags=0 cert=" +
                                std::to_string(own.Encoded.Length) + " hash=32 signature=64");
}

}  // namespace
}  // namespace simtest
