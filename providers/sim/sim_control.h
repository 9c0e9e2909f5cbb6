/* Control interface of the recording provider double ("sim").
 *
 * The sim exports the 47 VCERT_ entry points of the provider interface and,
 * besides them, the Sim* functions below, through which a test describes the
 * certificates the provider holds, makes an entry point fail, and reads what
 * the library did: every call with its arguments, every block handed out and
 * whether it came back through its matching release entry point, and whether
 * calls overlapped.
 *
 * A test reaches these functions by loading the same module file that the
 * library loads (the system hands back the same module) and looking them up
 * by name; the SimApi struct in sim_client.h does that.
 *
 * All texts are copied by the sim; the caller keeps ownership of its own.
 */
#ifndef CRTELV_PROVIDERS_SIM_SIM_CONTROL_H
#define CRTELV_PROVIDERS_SIM_SIM_CONTROL_H

#include <stdint.h>

#include "provider/cpki1_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A certificate the sim holds. Null texts count as absent. */
typedef struct SimCert {
  const char *Issuer;       /* "CN=Test CA,O=Example" */
  const char *Serial;       /* "0A:1B:2C" */
  const char *Subject;      /* "CN=User1,O=Example" */
  uint32_t NotBefore;       /* seconds since 1970 UTC */
  uint32_t NotAfter;
  int32_t KeyUsage;
  const char *Ekus;         /* ";"-separated OIDs, or null */
  const char *KeyReference; /* key reference in the store, or null */
  const uint8_t *Encoded;   /* encoded form; null: the sim makes one */
  int32_t EncodedLength;
  int32_t Store;            /* TELVORA_STORE_OWN, _OTHERS or _WIDE; 0: _OTHERS */
  const char *PublicKeyAlgorithm; /* null: "SimKey" */
  uint32_t PrivateKeyNotBefore;
  uint32_t PrivateKeyNotAfter;
} SimCert;

/* The sim's own statuses (never 0, never negative, so that they cannot be
 * taken for the library's codes). */
#define SIM_E_NOT_IMPLEMENTED 0x51000001 /* an entry point the library never calls */
#define SIM_E_BAD_SESSION 0x51000002     /* the session is not open */
#define SIM_E_BAD_ARGUMENT 0x51000003    /* null or malformed argument */
#define SIM_E_BAD_ENCODING 0x51000004    /* bytes that are no certificate, CRL, signature or message of the sim */
#define SIM_E_NO_KEY 0x51000005          /* no own certificate (or none with the selector's key reference) */
#define SIM_E_BAD_SIGNATURE 0x51000006   /* signature does not match data and signer */
#define SIM_E_NOT_RECIPIENT 0x51000007   /* no own key can open the message */
#define SIM_E_CORRUPT 0x51000008         /* the message was changed */
#define SIM_E_NO_FILE 0x51000009         /* the import file cannot be read */
#define SIM_E_INTERNAL 0x5100000A        /* out of memory or another failure inside the sim */

/* A CRL as the sim accepts it: any bytes that begin with these six. */
#define SIM_CRL_MAGIC "SIMCRL"

/* Forgets certificates, failures, calls, sessions, rendezvous and counters
 * (session numbers are still not handed out twice). Blocks outstanding at
 * that moment are no longer counted; they stay valid until the module goes,
 * and releasing them later counts as a bad release. */
typedef void(VCERT_API *SimReset_t)(void);
/* Adds a certificate; returns its index. */
typedef int32_t(VCERT_API *SimAddCert_t)(const SimCert *cert);
/* Copies the encoding the sim uses for cert (its Encoded bytes when given,
 * else the made-up encoding that VCERT_ParseCert and VCERT_AddCertificate
 * accept) into buffer when size allows and returns its full length; -1 for
 * a null cert. Nothing is added to the store. */
typedef int32_t(VCERT_API *SimEncodeCert_t)(const SimCert *cert, uint8_t *buffer, int32_t size);
/* Makes every later call of the named entry point return status without
 * doing anything; status 0 removes the failure. */
typedef void(VCERT_API *SimSetFailure_t)(const char *entryPoint, int32_t status);

/* Number of signers that later VCERT_VerifyMem results report (default 1):
 * every entry names the real signer. 0 gives an empty result. */
typedef void(VCERT_API *SimSetSignerCount_t)(int32_t count);

/* Shapes of the blobs that later calls of one entry point hand out, for
 * tests of results the library cannot use (for VCERT_VerifyMem: the
 * content blob):
 *   SIM_OUTPUT_ASIS    as made (removes the shape)
 *   SIM_OUTPUT_GROW    value zero bytes appended to the block
 *   SIM_OUTPUT_LENGTH  Length reported as value; the block is unchanged
 *   SIM_OUTPUT_NODATA  Data null, Length as made; nothing is handed out */
#define SIM_OUTPUT_ASIS 0
#define SIM_OUTPUT_GROW 1
#define SIM_OUTPUT_LENGTH 2
#define SIM_OUTPUT_NODATA 3
typedef void(VCERT_API *SimSetOutputShape_t)(const char *entryPoint, int32_t shape, int32_t value);

/* While on (non-zero), later VCERT_VerifyMem results give every signer a
 * null Cert (the records are still handed out and released with them). */
typedef void(VCERT_API *SimSetNullSignerCert_t)(int32_t on);

/* Number of calls recorded so far. */
typedef int32_t(VCERT_API *SimCallCount_t)(void);
/* Copies the description of call number index (from 0) into buffer as one
 * line "Name key=value key=value ..." and returns its full length, or -1
 * when there is no such call. The keys per entry point are listed in
 * sim_provider.cpp; texts are quoted with '"'. */
typedef int32_t(VCERT_API *SimCallText_t)(int32_t index, char *buffer, int32_t size);

/* Blocks and records handed out and not yet released. */
typedef int32_t(VCERT_API *SimOutstanding_t)(void);
/* Releases that did not match what was handed out (wrong entry point,
 * unknown or already released pointer). */
typedef int32_t(VCERT_API *SimBadReleases_t)(void);
/* Sessions currently open. */
typedef int32_t(VCERT_API *SimOpenSessions_t)(void);

/* Overlap detection: while set, a call of the named entry point waits inside
 * the provider until `meet` calls of it are inside at once, or until
 * timeoutMs have passed; then it goes on with its work. Each group of `meet`
 * calls is let go together, later calls form the next group. A meet below 2
 * removes the rendezvous. SimMaxInside reports the most calls (of all entry
 * points together) that were inside the provider at the same moment. */
typedef void(VCERT_API *SimSetRendezvous_t)(const char *entryPoint, int32_t meet, int32_t timeoutMs);
typedef int32_t(VCERT_API *SimMaxInside_t)(void);

/* Makes the sim behave like a provider that shuts itself down at process
 * exit: an exit handler registered now marks it shut down, and any entry
 * point called after that ends the process at once with exit status 86,
 * as a real provider would crash on its freed state. */
typedef void(VCERT_API *SimShutdownAtExit_t)(void);

/* The control functions in one list: X(name). Each has the type name_t. */
#define SIM_CONTROL_FUNCTIONS(X) \
  X(SimReset)                    \
  X(SimAddCert)                  \
  X(SimEncodeCert)               \
  X(SimSetFailure)               \
  X(SimSetSignerCount)           \
  X(SimSetOutputShape)           \
  X(SimSetNullSignerCert)        \
  X(SimCallCount)                \
  X(SimCallText)                 \
  X(SimOutstanding)              \
  X(SimBadReleases)              \
  X(SimOpenSessions)             \
  X(SimSetRendezvous)            \
  X(SimMaxInside)                 \
  X(SimShutdownAtExit)

#ifdef __cplusplus
}
#endif

#endif /* CRTELV_PROVIDERS_SIM_SIM_CONTROL_H */
