// cipher.cpp - the record cipher, its salt generator and printaddr.
//
// Every record is enciphered with a fresh 24-byte salt drawn from the drand48
// generator.  The salt travels masked with K0 as the first 24 bytes of the
// ciphertext; the 128-byte message key K2 is the salt repeated and mixed with
// K1, and masks the record byte by byte, repeating every 128 bytes.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

#include "rsockmap/authcryp.hpp"
#include "rsockmap/rsockmap.h"

namespace {

std::uint16_t SeedCounter = 0;
std::array<std::uint8_t, 128> K2;           // the message key of the last call
std::array<char, 32> PrintAddrText;          // printaddr's one static buffer

// K2[j] = salt[j mod 24] ^ K1[j]
void buildMessageKey(const std::uint8_t *salt) {
    for (std::size_t j = 0; j < K2.size(); ++j)
        K2[j] = salt[j % NS_SALT_SIZE] ^ authcryp::K1[j];
}

}  // namespace

extern "C" int seedRandom(void) {
    if (SeedCounter == 0) SeedCounter = static_cast<std::uint16_t>(getpid());
    struct timeval now {};
    gettimeofday(&now, nullptr);
    unsigned short seed[3];
    ++SeedCounter;
    seed[0] = static_cast<unsigned short>(
        (static_cast<unsigned long>(now.tv_usec) ^ static_cast<unsigned long>(now.tv_sec) ^
         SeedCounter) & 0xffff);
    long drawn = mrand48();
    ++SeedCounter;
    seed[1] = static_cast<unsigned short>((seed[0] ^ SeedCounter ^ static_cast<unsigned long>(drawn)) & 0xffff);
    drawn = mrand48();
    ++SeedCounter;
    seed[2] = static_cast<unsigned short>((seed[1] ^ SeedCounter ^ static_cast<unsigned long>(drawn)) & 0xffff);
    seed48(seed);
    return 0;
}

extern "C" int NsCrypt(void *out, const void *plain, int n) {
    auto *o = static_cast<std::uint8_t *>(out);
    const auto *p = static_cast<const std::uint8_t *>(plain);
    seedRandom();
    std::uint8_t salt[NS_SALT_SIZE];
    for (int k = 0; k < NS_SALT_SIZE / 4; ++k) {
        const auto word = static_cast<std::int32_t>(mrand48());
        std::memcpy(salt + 4 * k, &word, 4);  // native byte order
    }
    for (int i = 0; i < NS_SALT_SIZE; ++i) o[i] = authcryp::K0[i] ^ salt[i];
    buildMessageKey(salt);
    for (int j = 0; j < n; ++j) o[NS_SALT_SIZE + j] = p[j] ^ K2[j % 128];
    return n + NS_SALT_SIZE;
}

extern "C" int NsDecrypt(void *out, void *cipher, int len) {
    auto *p = static_cast<std::uint8_t *>(out);
    auto *c = static_cast<std::uint8_t *>(cipher);
    for (int i = 0; i < NS_SALT_SIZE; ++i) c[i] ^= authcryp::K0[i];
    buildMessageKey(c);
    for (int j = 0; NS_SALT_SIZE + j < len; ++j) p[j] = c[NS_SALT_SIZE + j] ^ K2[j % 128];
    return len - NS_SALT_SIZE;
}

extern "C" char *printaddr(const NsAddr *addr) {
    if (addr == nullptr) return const_cast<char *>("NULL");
    const auto *b = reinterpret_cast<const std::uint8_t *>(addr);
    std::snprintf(PrintAddrText.data(), PrintAddrText.size(), "%d.%d.%d.%d (%d)", b[4], b[5],
                  b[6], b[7], (b[2] << 8) | b[3]);
    return PrintAddrText.data();
}
