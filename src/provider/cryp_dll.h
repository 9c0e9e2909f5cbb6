// TCrypto_DLL: what every provider binding knows about its library.
#ifndef CRTELV_PROVIDER_CRYP_DLL_H
#define CRTELV_PROVIDER_CRYP_DLL_H

namespace crtelv {

class TCrypto_DLL {
 public:
  TCrypto_DLL() = default;
  virtual ~TCrypto_DLL() = default;
  TCrypto_DLL(const TCrypto_DLL &) = delete;
  TCrypto_DLL &operator=(const TCrypto_DLL &) = delete;

  // The provider library is loaded in the process.
  bool Loaded() const { return FLoaded; }
  // Every required entry point was resolved.
  bool Complete() const { return FComplete; }

 protected:
  bool FLoaded = false;
  bool FComplete = false;
};

}  // namespace crtelv

#endif  // CRTELV_PROVIDER_CRYP_DLL_H
