/* A host of the cr_telv library doing the whole job on the open provider.
 *
 * It loads the library by file name and finds its exports by name (no link to
 * the library), makes a CA and two parties, alice and bob, with cpki1-tool in a
 * temporary folder, and then works through the exports step by step: own UIDs
 * and properties, the exchange of public key transfers, signatures in both
 * forms with each request word, signed envelopes, encryption for the
 * counterpart, hashes, reports, a revocation list that refuses a revoked
 * signer, a key renewal answered by the CA, a signature carrying a time-stamp
 * token from a time-stamp authority that cpki1-tool serves on 127.0.0.1 for the
 * run, and a pair of GOST parties (GOST R 34.10-2012 keys of 256 and 512 bits)
 * that sign and encrypt for each other. Any failure prints its code and text and
 * ends the program with exit code 1. The folder is removed at the end.
 *
 *   demo_host LIBRARY PROVIDER_DIR TOOL
 *     LIBRARY       libcr_telv.so (cr_telv.dll) to load
 *     PROVIDER_DIR  the folder holding libcpki1.so (the link and its versioned
 *                   file), or cpki1.dll
 *     TOOL          cpki1-tool (cpki1-tool.exe)
 *
 * The library finds the provider through its own search: this program sets the
 * root folder (SetRootPath) to the temporary folder and links libcpki1.so into
 * its EXE folder. On Windows (LoadLibrary, GetProcAddress) the library finds
 * cpki1.dll beside the host executable, where an installation puts it; from
 * another PROVIDER_DIR the demo copies it into the EXE folder (the provider
 * stays loaded until the process ends, so that copy outlives the run).
 */
#define _GNU_SOURCE
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <direct.h>
#include <io.h>
#include <windows.h>
#define DEMO_SEP "\\"
#define DEMO_PROVIDER "cpki1.dll"
#define DEMO_OPEN(file) ((void *)LoadLibraryA(file))
#define DEMO_FIND(module, name) ((void *)GetProcAddress((HMODULE)(module), name))
#define DEMO_CLOSE(module) FreeLibrary((HMODULE)(module))
#define DEMO_Q "\""
#define DEMO_CD "cd /d " /* the folder may be on another drive */
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#define DEMO_SEP "/"
#define DEMO_PROVIDER "libcpki1.so"
#define DEMO_OPEN(file) dlopen(file, RTLD_NOW | RTLD_LOCAL)
#define DEMO_FIND(module, name) dlsym(module, name)
#define DEMO_CLOSE(module) dlclose(module)
#define DEMO_Q "'"
#define DEMO_CD "cd "
#endif

#include "cr_telv.h"

/* ---- The exports this host uses ------------------------------------------ */

#define DEMO_EXPORTS(X)                                                                                      \
  X(GetCryptObj) X(DoneEngine) X(SetRootPath) X(SetCryptoParamValue) X(GetCryptoErrorString)              \
  X(GetCurrentUserUID) X(GetPublicKeyProperties) X(GetReport) X(GetPublicKeyTransfer)                     \
  X(GetPublicKeyPropertiesByTransfer) X(GetPublicKeyPropertiesByFile) X(SavePublicKeyFromTransfer)         \
  X(IncludePublicKeyTransfer) X(IncludePublicKey) X(GetPublicKeyTransferByFile) X(SignData) X(VerifyData) \
  X(AddSign) X(RemoveSign) X(EncodeData) X(DecodeData) X(HashData) X(IncludeCRL) X(ClearCash)              \
  X(RemoteGenerateStart) X(RemoteGenerateFinish) X(GetMaxPublicKeyTransferSize) X(GetMaxReportSize)        \
  X(GetMaxSignatureLength) X(GetMaxSignAddition) X(GetMaxEncodeAddition) X(GetMaxErrorStringLength)

typedef struct Api {
#define DEMO_FIELD(name) __typeof__(&name) name;
  DEMO_EXPORTS(DEMO_FIELD)
#undef DEMO_FIELD
} Api;

static Api api;

/* ---- Account of the run ---------------------------------------------------- */

static char dir[PATH_MAX]; /* the temporary folder, without a trailing '/' */
static int step, steps = 15;

static void StopBackground(void);

static void RemoveFolder(void) {
  char line[PATH_MAX + 32];
  StopBackground(); /* a folder in use cannot be removed on Windows */
  if (dir[0] == '\0') return;
#ifdef _WIN32
  snprintf(line, sizeof line, "rmdir /s /q \"%s\"", dir);
#else
  snprintf(line, sizeof line, "rm -rf '%s'", dir);
#endif
  if (system(line) != 0) fprintf(stderr, "could not remove %s\n", dir);
  dir[0] = '\0';
}

static void Fail(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fputs("  FAILED: ", stdout);
  vprintf(fmt, args);
  putchar('\n');
  va_end(args);
  RemoveFolder();
  exit(1);
}

static void Step(const char *title) { printf("[%2d/%d] %s\n", ++step, steps, title); }

/* Windows-1251 (the library's text) to UTF-8 (the terminal's). */
static const uint16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0xFFFD, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

static void PutCp1251(const char *text) {
  const unsigned char *p;
  for (p = (const unsigned char *)text; *p != 0; ++p) {
    unsigned c = *p;
    if (c < 0x80) {
      if (c != '\r') putchar((int)c);
      continue;
    }
    c = c >= 0xC0 ? 0x0410 + (c - 0xC0) : kCp1251High[c - 0x80];
    if (c < 0x800) {
      putchar((int)(0xC0 | (c >> 6)));
    } else {
      putchar((int)(0xE0 | (c >> 12)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
    }
    putchar((int)(0x80 | (c & 0x3F)));
  }
}

/* Prints a multi-line text of the library (CR LF lines), each line indented. */
static void PrintLines(const char *indent, const char *text) {
  char line[4200];
  const char *p = text;
  while (*p != '\0') {
    size_t n = strcspn(p, "\r\n");
    if (n >= sizeof line) n = sizeof line - 1;
    memcpy(line, p, n);
    line[n] = '\0';
    fputs(indent, stdout);
    PutCp1251(line);
    putchar('\n');
    p += n;
    while (*p == '\r' || *p == '\n') ++p;
  }
}

/* Ends the run when rc is not 0, with the code and the library's text for it. */
static void Check(CrTelvEngine engine, int32_t rc, const char *what) {
  char text[1024];
  if (rc == CRTELV_OK) return;
  memset(text, 0, sizeof text);
  api.GetCryptoErrorString(engine, rc, text);
  printf("  FAILED: %s returned %d (0x%08X): ", what, (int)rc, (unsigned)rc);
  PutCp1251(text);
  putchar('\n');
  RemoveFolder();
  exit(1);
}

/* Prints a refusal that the demo expects, with the library's text for it. */
static void Refused(CrTelvEngine engine, int32_t rc, const char *what) {
  char text[1024];
  if (rc == CRTELV_OK) Fail("%s succeeded, but it must be refused", what);
  memset(text, 0, sizeof text);
  api.GetCryptoErrorString(engine, rc, text);
  printf("  %s refused as expected: %d (0x%08X) ", what, (int)rc, (unsigned)rc);
  PutCp1251(text);
  putchar('\n');
}

/* ---- Files and the tool ------------------------------------------------------ */

#ifdef _WIN32
static char *RealPath(const char *path, char *out) {
  if (_fullpath(out, path, PATH_MAX) == NULL || GetFileAttributesA(out) == INVALID_FILE_ATTRIBUTES) return NULL;
  return out;
}
static int MakeFolder(const char *path) { return _mkdir(path); }
static int Readable(const char *path) { return _access(path, 4); }
/* Nothing to do when the provider is beside the host executable. */
static int PlaceProvider(const char *from, const char *to) {
  char host[MAX_PATH + 1], *slash;
  DWORD n = GetModuleFileNameA(NULL, host, sizeof host);
  if (n > 0 && n < sizeof host && (slash = strrchr(host, '\\')) != NULL) {
    slash[1] = '\0';
    if (_strnicmp(host, from, strlen(host)) == 0 && strchr(from + strlen(host), '\\') == NULL) return 1;
  }
  return CopyFileA(from, to, TRUE) ? 0 : -1;
}
static int SetVariable(const char *name, const char *value) { return _putenv_s(name, value); }
/* A new folder under the user's temporary folder. */
static char *MakeTempFolder(char *out, size_t size) {
  char base[MAX_PATH + 1];
  unsigned i;
  DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n >= sizeof base) return NULL;
  for (i = 0; i < 1000; ++i) {
    snprintf(out, size, "%scr_telv-demo-%lu-%u", base, (unsigned long)GetCurrentProcessId(), i);
    if (CreateDirectoryA(out, NULL)) return out;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return NULL;
  }
  return NULL;
}
#else
static char *RealPath(const char *path, char *out) { return realpath(path, out); }
static int MakeFolder(const char *path) { return mkdir(path, 0700); }
static int Readable(const char *path) { return access(path, R_OK); }
static int PlaceProvider(const char *from, const char *to) { return symlink(from, to); }
static int SetVariable(const char *name, const char *value) { return setenv(name, value, 1); }
static char *MakeTempFolder(char *out, size_t size) {
  snprintf(out, size, "%s/cr_telv-demo-XXXXXX", getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  return mkdtemp(out);
}
#endif

static const char *Path(const char *name) {
  static char paths[8][PATH_MAX + 64];
  static int next;
  char *p = paths[next++ % 8];
  snprintf(p, sizeof paths[0], "%s" DEMO_SEP "%s", dir, name);
  return p;
}

static const char *tool;
static char toolPath[PATH_MAX];

/* Runs cpki1-tool with the given arguments; its output goes to tool.log. */
static int ToolStatus(const char *args) {
  char line[2 * PATH_MAX + 2048 + 64];
  snprintf(line, sizeof line, DEMO_CD DEMO_Q "%s" DEMO_Q " && " DEMO_Q "%s" DEMO_Q " %s >>tool.log 2>&1", dir, tool, args);
  return system(line);
}

/* Prints a log of the tool's from the temporary folder. */
static void ShowLog(const char *log) {
  char line[PATH_MAX + 64];
#ifdef _WIN32
  snprintf(line, sizeof line, "type \"%s\\%s\"", dir, log);
#else
  snprintf(line, sizeof line, "cat '%s/%s'", dir, log);
#endif
  if (system(line) != 0) fputs("(no tool output)\n", stdout);
}

/* The same, and the demo ends when the tool fails. */
static void Tool(const char *fmt, ...) {
  char args[2048];
  va_list list;
  va_start(list, fmt);
  vsnprintf(args, sizeof args, fmt, list);
  va_end(list);
  if (ToolStatus(args) != 0) {
    ShowLog("tool.log");
    Fail("cpki1-tool %s", args);
  }
}

/* ---- A tool serving beside the demo (the time-stamp authority) ------------------ */

/* At most one runs, started in the temporary folder with its output in the
 * given log there; it is stopped when the run ends, however it ends. Waits for
 * it are bounded (in 100 ms slices), generously: an emulated Windows program
 * may take a minute to start. */
enum { kBackgroundSlices = 6000 };

static void Pause(void) {
#ifdef _WIN32
  Sleep(100);
#else
  struct timespec t = {0, 100 * 1000 * 1000};
  nanosleep(&t, NULL);
#endif
}

#ifdef _WIN32
static HANDLE background;

static int StartBackground(const char *args, const char *log) {
  char line[2 * PATH_MAX + 2048];
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  STARTUPINFOA start;
  PROCESS_INFORMATION info;
  HANDLE out = CreateFileA(Path(log), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  BOOL made;
  if (out == INVALID_HANDLE_VALUE) return -1;
  snprintf(line, sizeof line, "\"%s\" %s", tool, args);
  memset(&start, 0, sizeof start);
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = out;
  start.hStdError = out;
  made = CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, dir, &start, &info);
  CloseHandle(out);
  if (!made) return -1;
  CloseHandle(info.hThread);
  background = info.hProcess;
  return 0;
}

/* 1 when the tool has ended (its exit code in *code), 0 while it runs. */
static int BackgroundEnded(int *code) {
  DWORD exitCode = 0;
  if (background == NULL) return 1;
  if (WaitForSingleObject(background, 0) != WAIT_OBJECT_0) return 0;
  GetExitCodeProcess(background, &exitCode);
  *code = (int)exitCode;
  CloseHandle(background);
  background = NULL;
  return 1;
}

static void StopBackground(void) {
  if (background == NULL) return;
  TerminateProcess(background, 1);
  WaitForSingleObject(background, 60000);
  CloseHandle(background);
  background = NULL;
}
#else
static pid_t background;

static int StartBackground(const char *args, const char *log) {
  char line[2 * PATH_MAX + 2048];
  pid_t pid;
  snprintf(line, sizeof line, "exec '%s' %s", tool, args);
  pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int fd;
    if (chdir(dir) != 0 || (fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0600)) < 0) _exit(127);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    execl("/bin/sh", "sh", "-c", line, (char *)NULL);
    _exit(127);
  }
  background = pid;
  return 0;
}

static int BackgroundEnded(int *code) {
  int status = 0;
  if (background == 0) return 1;
  if (waitpid(background, &status, WNOHANG) != background) return 0;
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  background = 0;
  return 1;
}

static void StopBackground(void) {
  if (background == 0) return;
  kill(background, SIGKILL);
  waitpid(background, NULL, 0);
  background = 0;
}
#endif

/* Reads the port the tool writes once it listens; ends the demo when the tool
 * ends first or never says. */
static long WaitForPort(const char *portFile, const char *log) {
  int i, code = 0;
  for (i = 0; i < kBackgroundSlices; ++i) {
    FILE *f = fopen(Path(portFile), "r");
    long port = 0;
    if (f != NULL) {
      int read = fscanf(f, "%ld", &port);
      fclose(f);
      if (read == 1 && port > 0 && port < 65536) return port;
    }
    if (BackgroundEnded(&code)) {
      ShowLog(log);
      Fail("cpki1-tool tsa ended (exit %d) before it listened", code);
    }
    Pause();
  }
  ShowLog(log);
  Fail("cpki1-tool tsa did not listen within %d s", kBackgroundSlices / 10);
  return 0;
}

static void WaitForBackgroundEnd(const char *log) {
  int i, code = 0;
  for (i = 0; i < kBackgroundSlices; ++i) {
    if (BackgroundEnded(&code)) {
      if (code == 0) return;
      ShowLog(log);
      Fail("cpki1-tool tsa ended with exit %d", code);
    }
    Pause();
  }
  ShowLog(log);
  Fail("cpki1-tool tsa did not end within %d s", kBackgroundSlices / 10);
}

/* ---- Engines ------------------------------------------------------------------ */

typedef struct Party {
  const char *name;
  CrTelvEngine engine;
  char uid[256];
  char serial[80]; /* from the SN= line of its properties */
} Party;

/* An engine for a party: its key store <name>.pse and certificate store
 * <name>-store.pem, both named under the root folder. */
static void OpenParty(Party *party, const char *name) {
  char value[300];
  party->name = name;
  party->engine = api.GetCryptObj(0);
  if (party->engine == NULL) Fail("GetCryptObj gave no engine");
  api.SetRootPath(party->engine, dir);
  snprintf(value, sizeof value, "%%ZPKRoot%%/%s.pse", name);
  Check(party->engine, api.SetCryptoParamValue(party->engine, 2, value), "SetCryptoParamValue(PSE)");
  snprintf(value, sizeof value, "%%ZPKRoot%%/%s-store.pem", name);
  Check(party->engine, api.SetCryptoParamValue(party->engine, 3, value), "SetCryptoParamValue(LocalStore)");
}

static char report[4097];

static void ShowOwn(Party *party) {
  Check(party->engine, api.GetCurrentUserUID(party->engine, party->uid), "GetCurrentUserUID");
  Check(party->engine, api.GetPublicKeyProperties(party->engine, party->uid, report), "GetPublicKeyProperties");
  {
    const char *sn = strstr(report, "\nSN=");
    size_t n = sn == NULL ? 0 : strcspn(sn + 4, "\r\n");
    if (sn == NULL || n >= sizeof party->serial) Fail("no serial number in the properties");
    memcpy(party->serial, sn + 4, n);
    party->serial[n] = '\0';
  }
  printf("  %s: GetCurrentUserUID = \"%s\"; GetPublicKeyProperties:\n", party->name, party->uid);
  PrintLines("      ", report);
}

static void PrintHex(const char *label, const unsigned char *data, int32_t size, int32_t shown) {
  int32_t i;
  printf("%s%d bytes:", label, (int)size);
  for (i = 0; i < size && i < shown; ++i) printf(" %02x", data[i]);
  printf("%s\n", size > shown ? " ..." : "");
}

/* ---- The run ------------------------------------------------------------------ */

static void MakeParties(const char *providerDir) {
  char real[PATH_MAX], link[PATH_MAX + 64];
  int placed;
  Step("CA and parties made with cpki1-tool; the provider linked into the root's EXE folder");
  Tool("ca --ca ca --subject \"CN=Demo CA,O=Example,C=RU\"");
  Tool("issue --ca ca --subject \"CN=alice,O=Example,C=RU\" --usage both --pse alice.pse --cert alice.der "
       "--store alice-store.pem");
  Tool("issue --ca ca --subject \"CN=bob,O=Example,C=RU\" --usage both --pse bob.pse --cert bob.der "
       "--store bob-store.pem");
  Tool("issue --ca ca --subject \"CN=carol,O=Example,C=RU\" --usage both --pse carol.pse --cert carol.der "
       "--store carol-store.pem");
  Tool("issue --ca ca --subject \"CN=CA desk,O=Example,C=RU\" --usage both --pse desk.pse --store desk-store.pem");
  printf("  %s: ca/ (CN=Demo CA), alice, bob, carol (to be revoked), the CA desk;\n"
         "  each with a key store <name>.pse and a certificate store <name>-store.pem\n",
         dir);
  snprintf(link, sizeof link, "%s" DEMO_SEP DEMO_PROVIDER, providerDir);
  if (RealPath(link, real) == NULL) Fail("no provider at %s", link);
  if (MakeFolder(Path("EXE")) != 0 || (placed = PlaceProvider(real, Path("EXE" DEMO_SEP DEMO_PROVIDER))) < 0)
    Fail("cannot link the provider");
#ifdef _WIN32
  if (placed == 1)
    printf("  %s beside the host executable\n", real);
  else
    printf("  EXE\\cpki1.dll copied from %s\n", real);
#else
  printf("  EXE/libcpki1.so -> %s\n", real);
#endif
}

int main(int argc, char **argv) {
  void *library;
  const char *libraryFile;
  Party alice, bob, carol, desk;
  char *transfer, *answer, signer[4097], text[300];
  int32_t transferSize, rc, size;
  static const char kMessage[] = "Payment order 17: pay 100.00 to bob\r\n";
  const int32_t messageSize = (int32_t)(sizeof kMessage - 1);
  unsigned char sign[2048], xmlSign[2048], carolSign[2048], hash[128];
  int32_t signSize = 0, xmlSignSize = 0, carolSignSize = 0, hashSize;
  unsigned char *buffer;
  static const char *const kWords[] = {"", "ShowCertificate_OnSuccess", "GetCertificateProperties_OnSuccess",
                                       "GetCertificate_OnSuccess"};
  size_t i;

  if (argc != 4) {
    fprintf(stderr, "usage: %s LIBRARY PROVIDER_DIR TOOL\n", argv[0]);
    return 2;
  }
  if (RealPath(argv[3], toolPath) == NULL) {
    fprintf(stderr, "no tool at %s\n", argv[3]);
    return 2;
  }
  tool = toolPath;
  setvbuf(stdout, NULL, _IOLBF, 0);

  if (MakeTempFolder(dir, sizeof dir) == NULL) {
    fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  libraryFile = argv[1];
  library = DEMO_OPEN(libraryFile);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s\n", libraryFile);
    RemoveFolder();
    return 1;
  }
#define DEMO_RESOLVE(name)                                      \
  api.name = (__typeof__(api.name))DEMO_FIND(library, #name);   \
  if (api.name == NULL) {                                       \
    fprintf(stderr, "export %s not found in %s\n", #name, argv[1]); \
    return 1;                                                   \
  }
  DEMO_EXPORTS(DEMO_RESOLVE)
#undef DEMO_RESOLVE
  printf("Library %s loaded; exports found by name\n", libraryFile);

  if (getenv("CPKI1_VIEWER") == NULL) {
    /* The provider "shows" a certificate by running this command on a PEM file. */
#ifdef _WIN32
    SetVariable("CPKI1_VIEWER", "echo       (viewer) a certificate in PEM: & findstr /b /c:-----BEGIN");
#else
    SetVariable("CPKI1_VIEWER", system("command -v openssl >/dev/null 2>&1") == 0
                                    ? "printf '      (viewer) '; openssl x509 -noout -subject -nameopt RFC2253 -in"
                                    : "printf '      (viewer) '; head -n 1");
#endif
  }
  MakeParties(argv[2]);

  OpenParty(&alice, "alice");
  OpenParty(&bob, "bob");
  OpenParty(&carol, "carol");
  OpenParty(&desk, "desk");
  transferSize = api.GetMaxPublicKeyTransferSize(alice.engine);
  if (transferSize <= 0 || api.GetMaxReportSize(alice.engine) + 1 > (int32_t)sizeof report ||
      api.GetMaxErrorStringLength(alice.engine) > (int32_t)sizeof text ||
      api.GetMaxSignatureLength(alice.engine) > (int32_t)sizeof sign)
    Fail("the engine's limits do not fit this host's buffers");
  transfer = malloc((size_t)transferSize);
  answer = malloc((size_t)transferSize);
  buffer = malloc((size_t)(messageSize + api.GetMaxEncodeAddition(alice.engine) + api.GetMaxSignAddition(alice.engine)));
  if (transfer == NULL || answer == NULL || buffer == NULL) Fail("out of memory");

  Step("Own UID and properties of each party (the provider is loaded by the first call)");
  ShowOwn(&alice);
  ShowOwn(&bob);

  Step("Exchange of public key transfers: alice's certificate goes to bob");
  Check(alice.engine, api.GetPublicKeyTransfer(alice.engine, alice.uid, transfer), "GetPublicKeyTransfer");
  printf("  alice: GetPublicKeyTransfer(\"%s\") = %zu characters of base64 text, signed by alice\n", alice.uid,
         strlen(transfer));
  Check(bob.engine, api.GetPublicKeyPropertiesByTransfer(bob.engine, transfer, report),
        "GetPublicKeyPropertiesByTransfer");
  printf("  bob: GetPublicKeyPropertiesByTransfer (the report of the transfer):\n");
  PrintLines("      ", report);
  if (MakeFolder(Path("inbox")) != 0) Fail("cannot make inbox/");
  Check(bob.engine, api.SavePublicKeyFromTransfer(bob.engine, Path("inbox"), transfer), "SavePublicKeyFromTransfer");
  if (Readable(Path("inbox" DEMO_SEP "alice.cer")) != 0) Fail("SavePublicKeyFromTransfer wrote no inbox/alice.cer");
  printf("  bob: SavePublicKeyFromTransfer(inbox) wrote inbox/alice.cer\n");
  Check(bob.engine, api.IncludePublicKeyTransfer(bob.engine, transfer), "IncludePublicKeyTransfer");
  {
    char *byTransfer = strdup(report);
    if (byTransfer == NULL) Fail("out of memory");
    Check(bob.engine, api.GetReport(bob.engine, "alice", report), "GetReport");
    if (strcmp(byTransfer, report) != 0) Fail("GetReport differs from the transfer's report");
    free(byTransfer);
  }
  printf("  bob: IncludePublicKeyTransfer: alice's certificate is in bob's store;\n"
         "       GetReport(\"alice\") there gives the same text\n");
  Check(bob.engine, api.GetPublicKeyTransfer(bob.engine, bob.uid, transfer), "GetPublicKeyTransfer");
  Check(alice.engine, api.IncludePublicKeyTransfer(alice.engine, transfer), "IncludePublicKeyTransfer");
  printf("  and back: bob's transfer included by alice\n");

  Step("SignData / VerifyData: a separate signature, checked with each request word");
  Check(alice.engine, api.SignData(alice.engine, kMessage, messageSize, sign, &signSize, NULL), "SignData");
  printf("  alice: SignData(%d bytes) = CMS signature of %d bytes\n", (int)messageSize, (int)signSize);
  for (i = 0; i < sizeof kWords / sizeof kWords[0]; ++i) {
    snprintf(signer, sizeof signer, "%s", kWords[i]);
    printf("  bob: VerifyData, signer \"%s\":\n", kWords[i]);
    Check(bob.engine, api.VerifyData(bob.engine, kMessage, messageSize, sign, signSize, signer), "VerifyData");
    if (i == 3) {
      char *end = strstr(signer, "-----END CERTIFICATE-----");
      if (strncmp(signer, "-----BEGIN CERTIFICATE-----", 27) != 0 || end == NULL) Fail("no PEM certificate");
      printf("        %.27s ... %s\n", signer, end);
    } else {
      PrintLines("        ", signer);
    }
  }
  buffer[0] = 'p';
  memcpy(buffer + 1, kMessage + 1, (size_t)messageSize - 1);
  snprintf(signer, sizeof signer, "%s", "");
  Refused(bob.engine, api.VerifyData(bob.engine, buffer, messageSize, sign, signSize, signer),
          "VerifyData of a changed message");

  Step("SignData / VerifyData: the bare signature for XML data (\"For sign XML data!\")");
  Check(alice.engine, api.SignData(alice.engine, kMessage, messageSize, xmlSign, &xmlSignSize, "For sign XML data!"),
        "SignData(XML)");
  PrintHex("  alice: signature of ", xmlSign, xmlSignSize, 8);
  snprintf(signer, sizeof signer, "%s", alice.serial);
  Check(bob.engine, api.VerifyData(bob.engine, kMessage, messageSize, xmlSign, xmlSignSize, signer), "VerifyData(XML)");
  printf("  bob: VerifyData naming the expected signer by serial number %s = \"%s\"\n", alice.serial, signer);

  Step("AddSign / RemoveSign: data wrapped in alice's signed message and unwrapped by bob");
  memcpy(buffer, kMessage, (size_t)messageSize);
  size = messageSize;
  Check(alice.engine, api.AddSign(alice.engine, buffer, &size, 0), "AddSign");
  printf("  alice: AddSign: %d bytes -> %d bytes\n", (int)messageSize, (int)size);
  Check(bob.engine, api.RemoveSign(bob.engine, buffer, &size, signer), "RemoveSign");
  if (size != messageSize || memcmp(buffer, kMessage, (size_t)size) != 0) Fail("RemoveSign gave other data");
  printf("  bob: RemoveSign: %d bytes, the original data, signer \"%s\"\n", (int)size, signer);

  Step("EncodeData for bob, DecodeData by bob");
  memcpy(buffer, kMessage, (size_t)messageSize);
  size = messageSize;
  Check(alice.engine, api.EncodeData(alice.engine, buffer, &size, bob.uid), "EncodeData");
  printf("  alice: EncodeData(for \"%s\"): %d bytes -> %d bytes of CMS AuthEnvelopedData (AES-256-GCM)\n", bob.uid,
         (int)messageSize, (int)size);
  {
    int32_t otherSize = size;
    unsigned char *copy = malloc((size_t)size);
    int third = 0;
    if (copy == NULL) Fail("out of memory");
    memcpy(copy, buffer, (size_t)size);
    rc = api.DecodeData(carol.engine, copy, &otherSize, &third);
    free(copy);
    Refused(carol.engine, rc, "carol: DecodeData");
    Check(bob.engine, api.DecodeData(bob.engine, buffer, &size, &third), "DecodeData");
  }
  if (size != messageSize || memcmp(buffer, kMessage, (size_t)size) != 0) Fail("DecodeData gave other data");
  printf("  bob: DecodeData: %d bytes: %.*s\n", (int)size, (int)size - 2, (const char *)buffer);

  Step("HashData in its three formats (1 base64, 2 hexadecimal, 0 raw)");
  for (i = 0; i < 3; ++i) {
    static const int32_t formats[] = {1, 2, 0};
    hashSize = 0;
    Check(alice.engine, api.HashData(alice.engine, kMessage, messageSize, formats[i], NULL, &hashSize),
          "HashData(size)");
    if (hashSize <= 0 || hashSize > (int32_t)sizeof hash - 1) Fail("HashData asks for %d bytes", (int)hashSize);
    memset(hash, 0, sizeof hash);
    Check(alice.engine, api.HashData(alice.engine, kMessage, messageSize, formats[i], hash, &hashSize), "HashData");
    if (formats[i] == 0)
      PrintHex("  format 0: ", hash, hashSize, 32);
    else
      printf("  format %d: %.*s\n", (int)formats[i], (int)hashSize, (const char *)hash);
  }

  Step("Properties from a file: GetPublicKeyPropertiesByFile, and IncludePublicKey of carol's certificate");
  Check(bob.engine, api.GetPublicKeyPropertiesByFile(bob.engine, Path("carol.der"), report),
        "GetPublicKeyPropertiesByFile");
  PrintLines("      ", report);
  Check(bob.engine, api.IncludePublicKey(bob.engine, Path("carol.der")), "IncludePublicKey");
  printf("  bob: IncludePublicKey(carol.der): carol's certificate is in bob's store\n");

  Step("IncludeCRL: carol's certificate is revoked, and her signature is refused");
  Check(carol.engine, api.SignData(carol.engine, kMessage, messageSize, carolSign, &carolSignSize, NULL), "SignData");
  snprintf(signer, sizeof signer, "%s", "");
  Check(bob.engine, api.VerifyData(bob.engine, kMessage, messageSize, carolSign, carolSignSize, signer),
        "VerifyData");
  printf("  bob: carol's signature verifies before: signer \"%s\"\n", signer);
  Tool("revoke --ca ca --cert carol.der --crl ca.crl");
  printf("  CA: cpki1-tool revoke --cert carol.der --crl ca.crl\n");
  Check(bob.engine, api.IncludeCRL(bob.engine, Path("ca.crl")), "IncludeCRL");
  api.ClearCash(bob.engine);
  printf("  bob: IncludeCRL(ca.crl); ClearCash (the next call opens fresh provider sessions)\n");
  snprintf(signer, sizeof signer, "%s", "");
  Refused(bob.engine, api.VerifyData(bob.engine, kMessage, messageSize, carolSign, carolSignSize, signer),
          "bob: VerifyData of carol's signature");

  Step("Key renewal: RemoteGenerateStart by alice, answered by the CA desk, RemoteGenerateFinish");
  Check(alice.engine, api.RemoteGenerateStart(alice.engine, transfer), "RemoteGenerateStart");
  printf("  alice: RemoteGenerateStart: a request transfer of %zu characters, signed with alice's current key\n",
         strlen(transfer));
  if (MakeFolder(Path("desk")) != 0) Fail("cannot make desk/");
  Check(desk.engine, api.SavePublicKeyFromTransfer(desk.engine, Path("desk"), transfer), "SavePublicKeyFromTransfer");
  printf("  CA desk: SavePublicKeyFromTransfer wrote desk/new.req\n");
  Tool("answer --ca ca --request desk/new.req --out desk/alice-new.der");
  printf("  CA: cpki1-tool answer --request desk/new.req --out desk/alice-new.der\n");
  Check(desk.engine, api.GetPublicKeyTransferByFile(desk.engine, answer, Path("desk/alice-new.der")),
        "GetPublicKeyTransferByFile");
  printf("  CA desk: GetPublicKeyTransferByFile: the answer transfer, signed by the desk\n");
  Check(alice.engine, api.RemoteGenerateFinish(alice.engine, answer), "RemoteGenerateFinish");
  Check(alice.engine, api.GetPublicKeyProperties(alice.engine, alice.uid, report), "GetPublicKeyProperties");
  printf("  alice: RemoteGenerateFinish: the new certificate is installed with its key:\n");
  PrintLines("      ", report);

  Step("A signature with the new key, verified by bob");
  Check(alice.engine, api.SignData(alice.engine, kMessage, messageSize, sign, &signSize, NULL), "SignData");
  snprintf(signer, sizeof signer, "%s", "GetCertificateProperties_OnSuccess");
  Check(bob.engine, api.VerifyData(bob.engine, kMessage, messageSize, sign, signSize, signer), "VerifyData");
  printf("  bob: VerifyData: the signer's certificate is the new one:\n");
  PrintLines("      ", signer);

  Step("A time-stamped signature: alice signs with a token from a local time-stamp authority, bob verifies");
  Tool("issue --ca ca --subject \"CN=Demo TSA,O=Example,C=RU\" --usage tsa --pse tsa.pse");
  if (StartBackground("tsa --pse tsa.pse --port 0 --port-file tsa.port --count 1 --timeout 600", "tsa.log") != 0)
    Fail("cannot start cpki1-tool tsa");
  {
    char url[64];
    int32_t plainSize = signSize;
    snprintf(url, sizeof url, "http://127.0.0.1:%ld/tsa", WaitForPort("tsa.port", "tsa.log"));
    printf("  CA: cpki1-tool issue --usage tsa (CN=Demo TSA, timeStamping only) and cpki1-tool tsa, serving\n"
           "  one request at %s\n",
           url);
    /* Sessions read CPKI1_TSA when they open: ClearCash makes alice's next call open fresh ones. */
    if (SetVariable("CPKI1_TSA", url) != 0 || SetVariable("CPKI1_TSA_TIMEOUT", "60") != 0)
      Fail("cannot set CPKI1_TSA");
    api.ClearCash(alice.engine);
    Check(alice.engine, api.SignData(alice.engine, kMessage, messageSize, sign, &signSize, NULL), "SignData");
    printf("  alice (CPKI1_TSA set, then ClearCash): SignData = %d bytes, %d more than without a token:\n"
           "  the authority's token, an unsigned attribute of alice's signature\n",
           (int)signSize, (int)(signSize - plainSize));
    WaitForBackgroundEnd("tsa.log");
    snprintf(signer, sizeof signer, "%s", "");
    Check(bob.engine, api.VerifyData(bob.engine, kMessage, messageSize, sign, signSize, signer), "VerifyData");
    printf("  bob: VerifyData: signer \"%s\". The token is the authority's signature over a hash of\n"
           "  alice's signature value and its own clock's time: it proves the signature existed at\n"
           "  that time. Bob judges alice's certificate at the token's time, not the time alice\n"
           "  claims, so the signature still verifies after her certificate expires, or is revoked\n"
           "  later than that time.\n",
           signer);
    /* The client tries to connect until its time is up: one second here. */
    if (SetVariable("CPKI1_TSA_TIMEOUT", "1") != 0) Fail("cannot set CPKI1_TSA_TIMEOUT");
    api.ClearCash(alice.engine);
    rc = api.SignData(alice.engine, kMessage, messageSize, xmlSign, &xmlSignSize, NULL);
    Refused(alice.engine, rc, "alice: SignData with the authority gone (never a signature without its token)");
    if (SetVariable("CPKI1_TSA", "") != 0 || SetVariable("CPKI1_TSA_TIMEOUT", "") != 0)
      Fail("cannot clear CPKI1_TSA");
    api.ClearCash(alice.engine);
  }

  Step("A GOST pair: ivan (GOST R 34.10-2012, 256 bits) signs and encrypts for petr (512 bits)");
  Tool("ca --ca gca --subject \"CN=Demo GOST CA,O=Example,C=RU\" --algorithm gost2012_256");
  {
    Party ivan, petr;
    int third = 0;
    Tool("issue --ca gca --subject \"CN=ivan,O=Example,C=RU\" --usage both --algorithm gost2012_256 --pse ivan.pse "
         "--cert ivan.der --store ivan-store.pem");
    Tool("issue --ca gca --subject \"CN=petr,O=Example,C=RU\" --usage both --algorithm gost2012_512 --pse petr.pse "
         "--cert petr.der --store petr-store.pem");
    Tool("store --store ivan-store.pem petr.der");
    printf("  cpki1-tool ca --algorithm gost2012_256 (gca/, CN=Demo GOST CA); issue ivan --algorithm gost2012_256,\n"
           "  petr --algorithm gost2012_512; petr's certificate in ivan's store\n");
    OpenParty(&ivan, "ivan");
    OpenParty(&petr, "petr");
    Check(ivan.engine, api.SignData(ivan.engine, kMessage, messageSize, sign, &signSize, NULL), "SignData");
    snprintf(signer, sizeof signer, "%s", "");
    Check(petr.engine, api.VerifyData(petr.engine, kMessage, messageSize, sign, signSize, signer), "VerifyData");
    printf("  ivan: SignData = CMS signature of %d bytes (GOST R 34.11-2012 256-bit digest);\n"
           "  petr: VerifyData: signer \"%s\"\n",
           (int)signSize, signer);
    memcpy(buffer, kMessage, (size_t)messageSize);
    size = messageSize;
    Check(ivan.engine, api.EncodeData(ivan.engine, buffer, &size, "petr"), "EncodeData");
    printf("  ivan: EncodeData(for \"petr\"): %d bytes of CMS EnvelopedData (Kuznyechik-CTR-ACPKM)\n", (int)size);
    Check(petr.engine, api.DecodeData(petr.engine, buffer, &size, &third), "DecodeData");
    if (size != messageSize || memcmp(buffer, kMessage, (size_t)size) != 0) Fail("DecodeData gave other data");
    printf("  petr: DecodeData: %d bytes: %.*s\n", (int)size, (int)size - 2, (const char *)buffer);
    api.DoneEngine(ivan.engine);
    api.DoneEngine(petr.engine);
  }

  Step("An error text of the library, converted from Windows-1251 for the terminal");
  memset(text, 0, sizeof text);
  api.GetCryptoErrorString(bob.engine, CRTELV_E_CERT_SELECTION, text);
  printf("  GetCryptoErrorString(-5): ");
  PutCp1251(text);
  putchar('\n');

  api.DoneEngine(alice.engine);
  api.DoneEngine(bob.engine);
  api.DoneEngine(carol.engine);
  api.DoneEngine(desk.engine);
  free(transfer);
  free(answer);
  free(buffer);
  DEMO_CLOSE(library);
  RemoveFolder();
  printf("All %d steps succeeded; the temporary folder is removed.\n", step);
  return 0;
}
