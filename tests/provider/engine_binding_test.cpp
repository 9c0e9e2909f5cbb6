// The provider engine: parameters into the session record, the binding
// cache, the operation frame, error texts and parameter descriptions.
#include <cstring>
#include <string>
#include <vector>

#include "binding_fixture.h"
#include "cr_telv.h"
#include "platform/platform.h"
#include "support/failure.h"

namespace crtelv::test {
namespace {

// Exposes the operation frame for a failure raised inside a binding call.
class FrameEngine : public TTelvoraEngine {
 public:
  int32_t FailInside(const char *operation, const std::string &message) {
    return GuardBindingCall(operation, [&]() -> int32_t { throw Exception(message); });
  }
};

// ---- Session record ------------------------------------------------------------

class EngineCache : public ProviderTest {
 protected:
  int32_t Use(Engine &engine) {
    char uid[256];
    return engine->GetCurrentUID(uid);
  }
  void SetUp() override {
    ProviderTest::SetUp();
    sim.Add({.subject = "CN=User1,O=Example", .serial = "01", .store = TELVORA_STORE_OWN});
  }
};

TEST_F(EngineCache, RecordFromDefaults) {
  Engine engine;
  TelvoraInitParam p = engine.Params();
  EXPECT_EQ(p.Profile, "");
  EXPECT_EQ(p.PSE, "A:\\LOCAL.PSE");
  EXPECT_EQ(p.LocalStore, "A:\\LOCAL.GDBM");
  EXPECT_EQ(p.LDAP, "");
  EXPECT_EQ(p.KeyRequestTimeout, 60);
  EXPECT_EQ(p.LastOpTimeout, 5);
  EXPECT_FALSE(p.ServerMode);
  EXPECT_EQ(p.UIDLocation, "CN");
  EXPECT_EQ(p.InitFlags, 0);
}

TEST_F(EngineCache, RecordFromValues) {
  Engine engine;
  engine->AssignRootPath("c:\\Work");
  engine.Set(kParamProfile, "prof")
      .Set(kParamPSE, "%zpkroot%\\Keys\\a.pse")
      .Set(kParamServerCertEKUOID, "1.3.6.1.5.5.7.3.1")
      .Set(kParamSignEKURestrictions, "1.2;3.4")
      .Set(kParamCashID, "cache-a")
      .Set(kParamKeyRequestTimeout, "abc")
      .Set(kParamLastOpTimeout, "120");
  TelvoraInitParam p = engine.Params();
  EXPECT_EQ(p.Profile, "PROF");
  EXPECT_EQ(p.PSE, "C:\\WORK\\KEYS\\A.PSE");
  EXPECT_EQ(p.ServerCertEKUOID, "1.3.6.1.5.5.7.3.1");
  EXPECT_EQ(p.SignEKURestrictions, "1.2;3.4");
  EXPECT_EQ(p.CashID, "cache-a");
  EXPECT_EQ(p.KeyRequestTimeout, 60);
  EXPECT_EQ(p.LastOpTimeout, 120);
}

TEST_F(EngineCache, ServerModeAndInitFlagWords) {
  Engine engine;
  EXPECT_TRUE(engine.Set(kParamClientServerMode, "server").Params().ServerMode);
  EXPECT_FALSE(engine.Set(kParamClientServerMode, "SERVER ").Params().ServerMode);
  EXPECT_FALSE(engine.Set(kParamClientServerMode, "CLIENT").Params().ServerMode);
  EXPECT_EQ(engine.Set(kParamInitFlags, " nocrlupdate;NOLDAP ").Params().InitFlags, 5);
  EXPECT_EQ(engine.Set(kParamInitFlags, "NOCRLUPDATE; NOLDAP").Params().InitFlags, 1);
  EXPECT_EQ(engine.Set(kParamInitFlags, "CheckExpired;NoKeyUnload;;other").Params().InitFlags, 10);
}

TEST_F(EngineCache, InitFlagsReachTheProvider) {
  Engine engine;
  engine.Set(kParamInitFlags, " nocrlupdate;NOLDAP ");
  ASSERT_EQ(Use(engine), 0);
  auto opens = sim.RecordsOf("VCERT_InitializeEx");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].Pick("flags pse"), R"(flags=5 pse="pse://signed/A:\\LOCAL.PSE")");
}

// A session serves only operations with the flags it was opened with: a
// lenient engine never lends its session to a strict one on the same stores,
// neither closes the other's, and a changed value counts at the next call.
TEST_F(EngineCache, EachSetOfInitFlagsHasItsOwnSession) {
  Engine lenient, strict;
  lenient.Set(kParamInitFlags, "NOCRLUPDATE");
  ASSERT_EQ(Use(lenient), 0);
  ASSERT_EQ(Use(strict), 0);
  ASSERT_EQ(Use(lenient), 0);
  lenient.Set(kParamInitFlags, "");
  ASSERT_EQ(Use(lenient), 0);
  const auto opens = sim.CallsOf("VCERT_InitializeEx");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_TRUE(Has(opens[0], "flags=1")) << opens[0];
  EXPECT_TRUE(Has(opens[1], "flags=0")) << opens[1];
  EXPECT_TRUE(sim.CallsOf("VCERT_Uninitialize").empty());
  // The last call ran on the strict engine's session.
  std::vector<std::string> sessions;
  for (const std::string &find : sim.CallsOf("VCERT_FindCert"))
    sessions.push_back(find.substr(0, find.find(' ', find.find("session="))));
  ASSERT_EQ(sessions.size(), 4u);
  EXPECT_NE(sessions[0], sessions[1]);
  EXPECT_EQ(sessions[2], sessions[0]);
  EXPECT_EQ(sessions[3], sessions[1]);
}

// Operations reuse what the last one read until something it depends on
// changes: a value, the root path, or the cache (here emptied by another
// engine).
TEST_F(EngineCache, EachOperationSeesTheCurrentValuesRootAndCache) {
  Engine engine, other;
  engine.Set(kParamPSE, "%ZPKRoot%\\a.pse");
  engine->AssignRootPath("C:\\One");
  ASSERT_EQ(Use(engine), 0);
  ASSERT_EQ(Use(engine), 0);
  engine->AssignRootPath("C:\\Two");
  ASSERT_EQ(Use(engine), 0);
  engine.Set(kParamPSE, "%ZPKRoot%\\b.pse");
  ASSERT_EQ(Use(engine), 0);
  other->ClearCash();
  ASSERT_EQ(Use(engine), 0);
  const auto opens = sim.CallsOf("VCERT_InitializeEx");
  ASSERT_EQ(opens.size(), 4u);
  EXPECT_TRUE(Has(opens[0], R"(pse://signed/C:\\ONE\\A.PSE")")) << opens[0];
  EXPECT_TRUE(Has(opens[1], R"(pse://signed/C:\\TWO\\A.PSE")")) << opens[1];
  EXPECT_TRUE(Has(opens[2], R"(pse://signed/C:\\TWO\\B.PSE")")) << opens[2];
  EXPECT_TRUE(Has(opens[3], R"(pse://signed/C:\\TWO\\B.PSE")")) << opens[3];
  EXPECT_EQ(BindingCacheSize(), 1);
}

// ---- Binding cache --------------------------------------------------------------

TEST_F(EngineCache, EqualConfigurationsShareOneBinding) {
  Engine a, b;
  ASSERT_EQ(Use(a), 0);
  ASSERT_EQ(Use(b), 0);
  EXPECT_EQ(BindingCacheSize(), 1);
  EXPECT_EQ(sim.CallsOf("VCERT_InitializeEx").size(), 1u);
  // Upper-cased fields and a key compared without letter case.
  a.Set(kParamPSE, "c:\\keys\\a.pse");
  b.Set(kParamPSE, "C:\\KEYS\\A.PSE");
  ASSERT_EQ(Use(a), 0);
  ASSERT_EQ(Use(b), 0);
  EXPECT_EQ(BindingCacheSize(), 2);
  // Time-outs and the UID location are not part of the key.
  b.Set(kParamKeyRequestTimeout, "30").Set(kParamUIDLocation, "SN");
  ASSERT_EQ(Use(b), 0);
  EXPECT_EQ(BindingCacheSize(), 2);
}

TEST_F(EngineCache, CashIdAndServerModeMakeTheirOwnBindings) {
  Engine a, b, c;
  b.Set(kParamCashID, "second");
  c.Set(kParamClientServerMode, "server");
  BindingRef ra, rb, rc;
  ASSERT_EQ(a->AcquireBinding(a.Params(), ra), 0);
  ASSERT_EQ(b->AcquireBinding(b.Params(), rb), 0);
  ASSERT_EQ(c->AcquireBinding(c.Params(), rc), 0);
  EXPECT_NE(ra, rb);
  EXPECT_NE(ra, rc);
  EXPECT_EQ(BindingCacheSize(), 3);
}

TEST_F(EngineCache, KeysOfShiftedTextsDiffer) {
  TelvoraInitParam one, two;
  one.PSE = "AB";
  one.LocalStore = "C";
  two.PSE = "A";
  two.LocalStore = "BC";
  EXPECT_NE(TTelvoraEngine::BindingKey(one), TTelvoraEngine::BindingKey(two));
}

TEST_F(EngineCache, ThePasswordCallbackIsCopiedWhenTheBindingIsMade) {
  int first = 0, second = 0;
  Engine a, b;
  a->SetPasswordRequestFunc(&first);
  b->SetPasswordRequestFunc(&second);
  BindingRef ra, rb;
  ASSERT_EQ(a->AcquireBinding(a.Params(), ra), 0);
  ASSERT_EQ(b->AcquireBinding(b.Params(), rb), 0);
  EXPECT_EQ(ra, rb);
  EXPECT_EQ(rb->FPasswordRequestFunc, &first);
}

TEST_F(EngineCache, ClearCashClosesSessionsAndTheNextOperationStartsAfresh) {
  Engine engine;
  ASSERT_EQ(Use(engine), 0);
  EXPECT_EQ(sim.SimOpenSessions(), 1);
  engine->ClearCash();
  EXPECT_EQ(BindingCacheSize(), 0);
  EXPECT_EQ(sim.SimOpenSessions(), 0);
  EXPECT_EQ(sim.CallsOf("VCERT_Uninitialize").size(), 1u);
  ASSERT_EQ(Use(engine), 0);
  EXPECT_EQ(BindingCacheSize(), 1);
  EXPECT_EQ(sim.CallsOf("VCERT_InitializeEx").size(), 2u);
  engine->ClearCash();
  engine->ClearCash();  // an empty cache: nothing to do
}

TEST_F(EngineCache, UpdateCertificateCashExportClearsTheCache) {
  Engine engine;
  ASSERT_EQ(Use(engine), 0);
  EXPECT_EQ(UpdateCertificateCash(&*engine, 0), 0);
  EXPECT_EQ(BindingCacheSize(), 0);
  EXPECT_EQ(sim.SimOpenSessions(), 0);
}

TEST_F(EngineCache, ABindingInUseOutlivesClearCashAndGoesWithItsLastUser) {
  Engine engine;
  BindingRef inUse;
  ASSERT_EQ(engine->AcquireBinding(engine.Params(), inUse), 0);
  std::weak_ptr<TTelvora> watch = inUse;
  engine->ClearCash();
  ASSERT_FALSE(watch.expired());
  // The running operation can still use it.
  std::string uid;
  EXPECT_EQ(inUse->GetUserCertUID(engine.Params(), uid), 0);
  EXPECT_EQ(uid, "User1");
  inUse.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(sim.SimOpenSessions(), 0);
}

// ---- Operation frame and error texts -------------------------------------------

class EngineTexts : public ProviderTest {
 protected:
  std::string Message(TCryptoEngine &engine, int32_t code) {
    char buffer[300];
    std::memset(buffer, 'x', sizeof buffer);
    engine.GetCryptoErrorString(code, buffer);
    EXPECT_NE(std::memchr(buffer, 0, sizeof buffer), nullptr) << "unterminated text for " << code;
    return std::string(buffer);
  }
  std::u16string Wide(TCryptoEngine &engine, int32_t code) { return platform::AnsiToWide(Message(engine, code)); }
};

TEST_F(EngineTexts, EveryOwnCodeHasItsFixedText) {
  const char16_t *expected[] = {
      u"Функция не поддерживается библиотекой.",
      u"Невозможно определить текущего пользователя.",
      u"Формат подписи не поддерживается.",
      u"Неверно задан(ы) абонент(ы) для шифрации.",
      (u"Ошибка выбора сертификата. Либо найдено несколько сертификатов с заданным UID'ом, либо такие сертификаты "
       u"отсутствуют."),
      u"Ошибка загрузки заданного сертификата.",
      u"Невозможно выделить память для операции.",
      u"Неверный формат сертификата.",
      u"Неверный формат CRL.",
      u"Исключительная ситуация при выполнении операции. ",
      u"В функцию передан нулевой указатель либо данные заведомо неверной длины.",
      u"Библиотека не проинициализирована.",
      u"Не задан UID сертификата.",
      u"Не задан файл сертификата.",
      u"Не задан файл CRL.",
      u"Ошибка чтения CRL.",
      u"Ошибка при чтении/записи файла с сертификатом/запросом на сертификат.",
      u"Формат заданного сертификата не распознан.",
      u"Подпись не действительна. Сертификат подписанта не прошел контроль расширенной области применения ключа.",
      u"Отсутствует настроечный параметр с заданным номером.",
      u"Невозможно загрузить библиотеку ПБЗИ cpki1.dll",
      u"Библиотека cpki1.dll не содержит всех необходимых для корректной работы функций. Проверьте версию cpki1.dll",
      u"Невозможно выполнить заданную операцию на установленной версии CCERT.",
      u"Не задан автор подписи под XML. Проверка подписи невозможна!",
  };
  Engine engine;
  for (int32_t code = -1; code >= -24; --code) {
    EXPECT_EQ(Wide(*engine, code), std::u16string(expected[-code - 1])) << "code " << code;
  }
  EXPECT_EQ(sim.SimCallCount(), 0) << "own codes need no provider";
}

TEST_F(EngineTexts, AFailureInsideABindingCallIsDescribedUnderMinus10) {
  FrameEngine engine;
  EXPECT_EQ(engine.FailInside("SignData", "disk on fire"), kFailure);
  EXPECT_EQ(engine.LastErrorText().GetText(), "TTelvoraEngine.SignData: Exception: disk on fire");
  const std::string message = Message(engine, kFailure);
  EXPECT_EQ(message.substr(message.size() - 48), "TTelvoraEngine.SignData: Exception: disk on fire");
  char last[300] = "x";
  engine.GetLastErrorMessage(last);
  EXPECT_STREQ(last, "");
}

TEST_F(EngineTexts, LongTextsAreCutTo299Characters) {
  FrameEngine engine;
  engine.FailInside("GetReport", std::string(500, 'z'));
  EXPECT_EQ(Message(engine, kFailure).size(), 299u);
}

TEST_F(EngineTexts, OtherCodesAreTheProvidersTexts) {
  Engine engine;
  auto providerText = reinterpret_cast<VCERT_GetErrorText_t>(
      platform::FindEntryPoint(platform::FindLoadedModule("cpki1.dll"), "VCERT_GetErrorText"));
  ASSERT_NE(providerText, nullptr);
  for (int32_t code : {0, 5, 1000, -25}) {
    char expected[300] = {};
    providerText(code, expected, sizeof expected);
    EXPECT_EQ(Message(*engine, code), std::string(expected)) << code;
  }
  engine->GetCryptoErrorString(5, nullptr);
}

// ---- Parameter descriptions and UIDs ----------------------------------------

class EngineInfo : public ProviderTest {};

TEST_F(EngineInfo, DescriptionsWithSizeQueries) {
  Engine engine;
  int32_t kind = 0, size = 0;
  EXPECT_EQ(engine->GetParamInfo(2, &kind, nullptr, &size), 0);
  EXPECT_EQ(kind, 10);
  EXPECT_EQ(size, 6);
  char info[32];
  size = 14;
  EXPECT_EQ(engine->GetParamInfo(8, &kind, info, &size), kBadArgument);
  EXPECT_EQ(size, 15);
  EXPECT_EQ(engine->GetParamInfo(8, &kind, info, &size), 0);
  EXPECT_STREQ(info, "CLIENT\r\nSERVER");
  EXPECT_EQ(kind, 7);
  size = sizeof info;
  EXPECT_EQ(engine->GetParamInfo(6, &kind, info, &size), 0);
  EXPECT_STREQ(info, "0..2147483640");
  EXPECT_EQ(engine->GetParamInfo(13, &kind, info, &size), kNoParam);
  EXPECT_EQ(engine->GetParamInfo(0, &kind, info, &size), kNoParam);
  EXPECT_EQ(engine->GetParamInfo(1, nullptr, info, &size), kBadArgument);
  EXPECT_EQ(engine->GetParamInfo(1, &kind, info, nullptr), kBadArgument);
  EXPECT_EQ(sim.SimCallCount(), 0);
}

TEST_F(EngineInfo, EncryptionUidIsTheSigningUidAlwaysTerminated) {
  Engine engine;
  char out[256];
  EXPECT_EQ(engine->GetEncodeUIDBySignUID("User1", out), 0);
  EXPECT_STREQ(out, "User1");
  const std::string longUid(300, 'u');
  EXPECT_EQ(engine->GetEncodeUIDBySignUID(longUid.c_str(), out), 0);
  EXPECT_EQ(std::string(out), std::string(255, 'u'));
  EXPECT_EQ(engine->GetEncodeUIDBySignUID(nullptr, out), kBadArgument);
  EXPECT_EQ(engine->GetEncodeUIDBySignUID("x", nullptr), kBadArgument);
}

}  // namespace
}  // namespace crtelv::test
