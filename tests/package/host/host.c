/* A tiny host built against the installed tree: links the library, asks it
 * for what needs no provider. */
#include <stdio.h>
#include <string.h>

#include "cr_telv.h"

int main(void) {
  CrTelvEngine engine = GetCryptObj(0);
  int ok = engine != NULL && CheckCompatibles("Telvora Crypto Engine") == 1 && GetMaxFilePathLength(engine) == 255;
  if (engine != NULL) {
    char name[64];
    GetCryptoParamName(engine, 1, name);
    ok = ok && strcmp(name, "Profile") == 0;
    DoneEngine(engine);
  }
  puts(ok ? "host: ok" : "host: failed");
  return ok ? 0 : 1;
}
