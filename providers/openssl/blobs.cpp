// The host's blobs and the CMS messages in them (see blobs.h).
#include "blobs.h"

namespace cpki1 {

bool BlobOk(const TelvoraBlob *b) { return b != nullptr && b->Length >= 0 && (b->Length == 0 || b->Data != nullptr); }
Bytes BlobBytes(const TelvoraBlob *b) { return b->Length > 0 ? Bytes(b->Data, b->Data + b->Length) : Bytes(); }

BioPtr BlobBio(const TelvoraBlob *b) {
  static const uint8_t empty = 0;
  return BioPtr(BIO_new_mem_buf(b->Length > 0 ? b->Data : &empty, b->Length));
}

namespace {

int SinkWrite(BIO *bio, const char *data, std::size_t n, std::size_t *written) {
  auto *out = static_cast<Bytes *>(BIO_get_data(bio));
  if (out == nullptr) return 0;
  const auto *bytes = reinterpret_cast<const uint8_t *>(data);  // same types: one memmove
  out->insert(out->end(), bytes, bytes + n);
  *written = n;
  return 1;
}

long SinkCtrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int SinkCreate(BIO *bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

BioPtr SinkBio(Bytes &out) {
  // Made once, never released (as the algorithms).
  static BIO_METHOD *const method = [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "cpki1 byte sink");
    if (m != nullptr && (!BIO_meth_set_write_ex(m, SinkWrite) || !BIO_meth_set_ctrl(m, SinkCtrl) ||
                         !BIO_meth_set_create(m, SinkCreate))) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  BioPtr bio(method != nullptr ? BIO_new(method) : nullptr);
  if (bio) BIO_set_data(bio.get(), &out);
  return bio;
}

Bytes BioBytes(BIO *bio) {
  char *p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return n > 0 ? Bytes(p, p + n) : Bytes();
}

CmsPtr ReadCms(const TelvoraBlob *b) {
  if (b->Length <= 0) return nullptr;
  const uint8_t *p = b->Data;
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, b->Length));
  if (cms && p != b->Data + b->Length) cms.reset();
  return cms;
}

Bytes CmsDer(CMS_ContentInfo *cms) {
  int n = i2d_CMS_ContentInfo(cms, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<std::size_t>(n));
  uint8_t *p = out.data();
  i2d_CMS_ContentInfo(cms, &p);
  return out;
}

}  // namespace cpki1
