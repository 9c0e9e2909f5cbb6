/* A host of the cr_telv library: loads it at run time, finds its exports by
 * name and shows what the engine offers: the compatible engine names, the
 * size limits and the engine parameters with their descriptions.
 *
 *   demo_host [library file]      (default ./libcr_telv.so)
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cr_telv.h"

#if defined(_WIN32)
#include <windows.h>
#define DEFAULT_LIBRARY "cr_telv.dll"
static void *OpenLibrary(const char *file) { return (void *)LoadLibraryA(file); }
static void *FindExport(void *library, const char *name) {
  return (void *)GetProcAddress((HMODULE)library, name);
}
static void CloseLibrary(void *library) { FreeLibrary((HMODULE)library); }
static const char *LoadError(void) { return "LoadLibrary failed"; }
#else
#include <dlfcn.h>
#define DEFAULT_LIBRARY "./libcr_telv.so"
static void *OpenLibrary(const char *file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
static void *FindExport(void *library, const char *name) { return dlsym(library, name); }
static void CloseLibrary(void *library) { dlclose(library); }
static const char *LoadError(void) { return dlerror(); }
#endif

/* The exports this host uses, typed as the header declares them. */
typedef struct Api {
  __typeof__(&GetCryptObj) GetCryptObj;
  __typeof__(&DoneEngine) DoneEngine;
  __typeof__(&CheckCompatibles) CheckCompatibles;
  __typeof__(&GetMaxEncodeAddition) GetMaxEncodeAddition;
  __typeof__(&GetMaxSignatureLength) GetMaxSignatureLength;
  __typeof__(&GetMaxUIDLength) GetMaxUIDLength;
  __typeof__(&GetMaxCryptoParamNameLength) GetMaxCryptoParamNameLength;
  __typeof__(&GetMaxCryptoParamValueLength) GetMaxCryptoParamValueLength;
  __typeof__(&GetMaxErrorStringLength) GetMaxErrorStringLength;
  __typeof__(&GetMaxPasswordLength) GetMaxPasswordLength;
  __typeof__(&GetMaxSignAddition) GetMaxSignAddition;
  __typeof__(&GetMaxPublicKeyTransferSize) GetMaxPublicKeyTransferSize;
  __typeof__(&GetMaxFilePathLength) GetMaxFilePathLength;
  __typeof__(&GetMaxReportSize) GetMaxReportSize;
  __typeof__(&GetMaxAdditionEx) GetMaxAdditionEx;
  __typeof__(&GetRemoteGenType) GetRemoteGenType;
  __typeof__(&GetCryptoParamNumber) GetCryptoParamNumber;
  __typeof__(&GetCryptoParamName) GetCryptoParamName;
  __typeof__(&GetCryptoParamValue) GetCryptoParamValue;
  __typeof__(&GetParamInfo) GetParamInfo;
} Api;

/* Looks up every export of the Api; 0 when one is missing. */
static int ResolveApi(void *library, Api *api) {
#define RESOLVE(name)                                                   \
  do {                                                                  \
    void *address = FindExport(library, #name);                         \
    if (address == NULL) {                                              \
      fprintf(stderr, "export %s not found\n", #name);                  \
      return 0;                                                         \
    }                                                                   \
    api->name = (__typeof__(api->name))address;                         \
  } while (0)
  RESOLVE(GetCryptObj);
  RESOLVE(DoneEngine);
  RESOLVE(CheckCompatibles);
  RESOLVE(GetMaxEncodeAddition);
  RESOLVE(GetMaxSignatureLength);
  RESOLVE(GetMaxUIDLength);
  RESOLVE(GetMaxCryptoParamNameLength);
  RESOLVE(GetMaxCryptoParamValueLength);
  RESOLVE(GetMaxErrorStringLength);
  RESOLVE(GetMaxPasswordLength);
  RESOLVE(GetMaxSignAddition);
  RESOLVE(GetMaxPublicKeyTransferSize);
  RESOLVE(GetMaxFilePathLength);
  RESOLVE(GetMaxReportSize);
  RESOLVE(GetMaxAdditionEx);
  RESOLVE(GetRemoteGenType);
  RESOLVE(GetCryptoParamNumber);
  RESOLVE(GetCryptoParamName);
  RESOLVE(GetCryptoParamValue);
  RESOLVE(GetParamInfo);
#undef RESOLVE
  return 1;
}

static void ShowCompatibility(const Api *api) {
  static const char *const names[] = {"Telvora Crypto Engine", "Ms Crypto API 2.0", "CryptoPro CSP/1.1",
                                      "cryptopro csp/1.1", "Unknown Engine"};
  size_t i;
  printf("Compatible engine names:\n");
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    printf("  CheckCompatibles(\"%s\") = %d\n", names[i], (int)api->CheckCompatibles(names[i]));
  }
  printf("  CheckCompatibles(NULL) = %d\n", (int)api->CheckCompatibles(NULL));
}

static void ShowLimits(const Api *api, CrTelvEngine engine) {
  printf("Size limits:\n");
  printf("  GetMaxEncodeAddition         %d\n", (int)api->GetMaxEncodeAddition(engine));
  printf("  GetMaxAdditionEx(\"A;B;C\")    %d\n", (int)api->GetMaxAdditionEx(engine, "A;B;C"));
  printf("  GetMaxSignatureLength        %d\n", (int)api->GetMaxSignatureLength(engine));
  printf("  GetMaxSignAddition           %d\n", (int)api->GetMaxSignAddition(engine));
  printf("  GetMaxUIDLength              %d\n", (int)api->GetMaxUIDLength(engine));
  printf("  GetMaxCryptoParamNameLength  %d\n", (int)api->GetMaxCryptoParamNameLength(engine));
  printf("  GetMaxCryptoParamValueLength %d\n", (int)api->GetMaxCryptoParamValueLength(engine));
  printf("  GetMaxErrorStringLength      %d\n", (int)api->GetMaxErrorStringLength(engine));
  printf("  GetMaxPasswordLength         %d\n", (int)api->GetMaxPasswordLength(engine));
  printf("  GetMaxPublicKeyTransferSize  %d\n", (int)api->GetMaxPublicKeyTransferSize(engine));
  printf("  GetMaxReportSize             %d\n", (int)api->GetMaxReportSize(engine));
  printf("  GetMaxFilePathLength         %d\n", (int)api->GetMaxFilePathLength(engine));
  printf("  GetRemoteGenType             %d\n", (int)api->GetRemoteGenType(engine));
}

/* Prints a description, showing its CR LF separators as " | ". */
static void PrintInfo(const char *info) {
  for (; *info != '\0'; ++info) {
    if (info[0] == '\r' && info[1] == '\n') {
      fputs(" | ", stdout);
      ++info;
    } else {
      putchar(*info);
    }
  }
}

static void ShowParamInfo(const Api *api, CrTelvEngine engine, int32_t index) {
  int32_t kind = 0;
  int32_t size = 0;
  char *info;
  int32_t status = api->GetParamInfo(engine, index, &kind, NULL, &size);
  if (status != CRTELV_OK || size <= 0) {
    printf("      (no description: %d)\n", (int)status);
    return;
  }
  info = malloc((size_t)size);
  if (info == NULL) return;
  status = api->GetParamInfo(engine, index, &kind, info, &size);
  if (status == CRTELV_OK) {
    printf("      kind %d, ", (int)kind);
    PrintInfo(info);
    putchar('\n');
  } else {
    printf("      (no description: %d)\n", (int)status);
  }
  free(info);
}

static int ShowParameters(const Api *api, CrTelvEngine engine) {
  int32_t count = api->GetCryptoParamNumber(engine);
  int32_t nameSize = api->GetMaxCryptoParamNameLength(engine);
  int32_t valueSize = api->GetMaxCryptoParamValueLength(engine);
  char *name;
  char *value;
  int32_t index;
  if (count < 0 || nameSize <= 0 || valueSize <= 0) {
    fprintf(stderr, "the engine gives no parameter sizes\n");
    return 0;
  }
  name = malloc((size_t)nameSize);
  value = malloc((size_t)valueSize);
  if (name == NULL || value == NULL) {
    free(name);
    free(value);
    return 0;
  }
  printf("Parameters (%d):\n", (int)count);
  for (index = 1; index <= count; ++index) {
    api->GetCryptoParamName(engine, index, name);
    api->GetCryptoParamValue(engine, index, value);
    printf("  %2d. %-28s = \"%s\"\n", (int)index, name, value);
    ShowParamInfo(api, engine, index);
  }
  free(name);
  free(value);
  return 1;
}

int main(int argc, char **argv) {
  const char *file = argc > 1 ? argv[1] : DEFAULT_LIBRARY;
  void *library;
  Api api;
  CrTelvEngine engine;
  int ok;

  library = OpenLibrary(file);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", file, LoadError());
    return 1;
  }
  memset(&api, 0, sizeof api);
  if (!ResolveApi(library, &api)) {
    CloseLibrary(library);
    return 1;
  }
  printf("Library: %s\n\n", file);
  ShowCompatibility(&api);
  putchar('\n');

  engine = api.GetCryptObj(0);
  if (engine == NULL) {
    fprintf(stderr, "GetCryptObj gave no engine\n");
    CloseLibrary(library);
    return 1;
  }
  ShowLimits(&api, engine);
  putchar('\n');
  ok = ShowParameters(&api, engine);
  api.DoneEngine(engine);
  CloseLibrary(library);
  return ok ? 0 : 1;
}
