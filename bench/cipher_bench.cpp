// The record cipher: a round trip of the largest TCP record.
#include <benchmark/benchmark.h>

#include <cstring>

#include "rsockmap/rsockmap.h"

static void BM_CipherRoundTrip231(benchmark::State &state) {
    unsigned char rec[NS_MSG_SIZE];
    for (int i = 0; i < NS_MSG_SIZE; ++i) rec[i] = static_cast<unsigned char>(i * 7);
    unsigned char cipher[NS_MSG_SIZE + NS_SALT_SIZE];
    unsigned char plain[NS_MSG_SIZE];
    for (auto _ : state) {
        int l = NsCrypt(cipher, rec, NS_MAX_TCP_RECORD);
        int n = NsDecrypt(plain, cipher, l);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(plain[n - 1]);
    }
}
BENCHMARK(BM_CipherRoundTrip231);
