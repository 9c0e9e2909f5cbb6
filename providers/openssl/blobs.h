// The host's blobs and the CMS messages in them: checks, copies, BIOs.
#ifndef CPKI1_OPENSSL_BLOBS_H
#define CPKI1_OPENSSL_BLOBS_H

#include <openssl/bio.h>
#include <openssl/cms.h>

#include "openssl_objects.h"
#include "provider/cpki1_api.h"

namespace cpki1 {

bool BlobOk(const TelvoraBlob *b);
Bytes BlobBytes(const TelvoraBlob *b);

BioPtr BlobBio(const TelvoraBlob *b);
// A BIO that appends what is written to it to out, which must outlive it.
// Content written there is handed out as it is: a memory BIO grows by a
// third at a time (copying and wiping each time) and is copied once more.
BioPtr SinkBio(Bytes &out);
Bytes BioBytes(BIO *bio);
// A whole DER ContentInfo, nothing after it; null otherwise.
CmsPtr ReadCms(const TelvoraBlob *b);
Bytes CmsDer(CMS_ContentInfo *cms);

}  // namespace cpki1

#endif  // CPKI1_OPENSSL_BLOBS_H
