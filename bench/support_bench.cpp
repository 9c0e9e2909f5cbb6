// Costs on the hot paths every operation takes: the reader/writer lock's
// nested read (which must not touch the writer lock) and base64 coding of a
// transfer-sized block.
#include <benchmark/benchmark.h>

#include <vector>

#include "support/base64.h"
#include "support/rw_lock.h"

namespace {

void BM_FirstRead(benchmark::State &state) {
  crtelv::TRWCriticalSection lock;
  for (auto _ : state) {
    lock.AcquireRead();
    lock.ReleaseRead();
  }
}
BENCHMARK(BM_FirstRead);

void BM_NestedRead(benchmark::State &state) {
  crtelv::TRWCriticalSection lock;
  lock.AcquireRead();
  for (auto _ : state) {
    lock.AcquireRead();
    lock.ReleaseRead();
  }
  lock.ReleaseRead();
}
BENCHMARK(BM_NestedRead);

void BM_Write(benchmark::State &state) {
  crtelv::TRWCriticalSection lock;
  for (auto _ : state) {
    lock.AcquireWrite();
    lock.ReleaseWrite();
  }
}
BENCHMARK(BM_Write);

void BM_Base64RoundTrip(benchmark::State &state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  for (auto _ : state) {
    std::string text = crtelv::EncodeBase64(data.data(), static_cast<int32_t>(data.size()));
    std::vector<uint8_t> back = crtelv::DecodeBase64(text.data(), static_cast<int32_t>(text.size()));
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64RoundTrip)->Arg(4612)->Arg(65536);

}  // namespace
