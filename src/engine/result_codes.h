// The result codes of the engines and their texts.
#ifndef CRTELV_ENGINE_RESULT_CODES_H
#define CRTELV_ENGINE_RESULT_CODES_H

#include <cstdint>

#include "cr_telv.h"

namespace crtelv {

// Result codes shared by all engines: the engine's names for the codes that
// the public header defines (the header is their one definition).
enum ResultCode : int32_t {
  kOk = CRTELV_OK,
  kNotSupported = CRTELV_E_NOT_SUPPORTED,
  kNoCurrentUser = CRTELV_E_NO_CURRENT_USER,
  kBadSignFormat = CRTELV_E_SIGN_FORMAT,
  kBadRecipients = CRTELV_E_RECIPIENTS,
  kCertSelection = CRTELV_E_CERT_SELECTION,
  kCertLoad = CRTELV_E_CERT_LOAD,
  kNoMemory = CRTELV_E_NO_MEMORY,
  kBadCertFormat = CRTELV_E_CERT_FORMAT,
  kBadCrlFormat = CRTELV_E_CRL_FORMAT,
  kFailure = CRTELV_E_FAILURE,
  kBadArgument = CRTELV_E_BAD_ARGUMENT,
  kNotInitialized = CRTELV_E_NOT_INITIALIZED,
  kNoUID = CRTELV_E_NO_UID,
  kNoCertFile = CRTELV_E_NO_CERT_FILE,
  kNoCrlFile = CRTELV_E_NO_CRL_FILE,
  kCrlRead = CRTELV_E_CRL_READ,
  kCertFileIO = CRTELV_E_CERT_FILE_IO,
  kCertUnknown = CRTELV_E_CERT_UNKNOWN,
  kSignerEKU = CRTELV_E_SIGNER_EKU,
  kNoParam = CRTELV_E_NO_PARAM,
  kProviderLoad = CRTELV_E_PROVIDER_LOAD,
  kProviderIncomplete = CRTELV_E_PROVIDER_INCOMPLETE,
  kProviderVersion = CRTELV_E_PROVIDER_VERSION,
  kNoXmlAuthor = CRTELV_E_NO_XML_AUTHOR,
  kSaveNoMemory = CRTELV_E_SAVE_NO_MEMORY,
  kSaveWrite = CRTELV_E_SAVE_WRITE,
};
// The texts below cover -1 to -24 in order: the codes must stay dense.
static_assert(kNotSupported == -1 && kNoXmlAuthor == -24 && kFailure == -10, "result codes moved");

// The text of a result code from -1 to -24, in the Windows-1251 code page, as
// the provider engine reports it (the text of -10 is followed by the stored
// failure description); null for any other code.
const char *ResultCodeText(int32_t code);

}  // namespace crtelv

#endif  // CRTELV_ENGINE_RESULT_CODES_H
