// Any bytes as the tool's argument vector, run through the real option loop
// with no network at all.
//
// Input: one byte that decides how the stand-in operations answer, then the
// words of the vector, separated by NUL bytes (the program name comes
// first, supplied here).  Each word and the vector itself are heap blocks of
// their exact size, so a read past a word or past the vector's terminating
// null is caught.
//
// The name-service operations and the census are replaced at link time by
// the stand-ins below: this object defines every symbol of them that the
// option loop uses, so the archive members holding the real ones (registry
// and census) are never linked in; were one pulled in, the link would fail
// with a duplicate definition instead of the census running.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "admin/census.h"
#include "admin/nsadmin.h"
#include "rsockmap/rsockmap.h"

namespace {

std::uint8_t answers = 0;  // the input's first byte
int calls = 0;

// The stand-ins' common checks: a name is a readable C string.
void touchText(const char *s) {
    if (s != nullptr) (void)std::strlen(s);
}

bool succeeds() { return (answers >> (calls++ % 8)) & 1; }

int lookUp(const char *name, NsAddr *addr, int *addrLen, char *auth, std::size_t authSize) {
    if (name == nullptr || addr == nullptr || addrLen == nullptr) __builtin_trap();
    touchText(name);
    if (!succeeds()) return -1;
    // What a success gives: an address of 0 to 16 bytes, and a text that
    // fills the buffer to its last byte.
    const int len = (answers + calls) % (NS_ADDR_SIZE + 1);
    std::memset(addr, 0xA5, static_cast<std::size_t>(len));
    addr->sin_family = AF_INET;
    *addrLen = len;
    if (auth != nullptr && authSize > 0) {
        std::memset(auth, 'x', authSize - 1);
        auth[authSize - 1] = '\0';
    }
    return 0;
}

}  // namespace

NsAddr BcastAddr{};
int bGotBcastAddr = 0;

extern "C" int FindAllNS(void) { return succeeds() ? 0 : -1; }

extern "C" int usptcp_LookupUspNameBounded(const char *name, NsAddr *addr, int *addrLen,
                                           int, char *auth, size_t authSize) {
    if (auth != nullptr && authSize != NS_AUTH_SIZE) __builtin_trap();
    return lookUp(name, addr, addrLen, auth, authSize);
}

extern "C" int usptcp_LookupUspName(const char *name, NsAddr *addr, int *addrLen, int,
                                    char *auth) {
    return lookUp(name, addr, addrLen, auth, auth != nullptr ? NS_AUTH_SIZE : 0);
}

extern "C" int usptcp_RegisterUspName(const char *name, const NsAddr *addr, int addrLen, int,
                                      const char *level, const char *text) {
    touchText(name);
    touchText(text);
    // The address length is the run's: 16, or what a lookup before gave.
    if (addr == nullptr || level == nullptr || addrLen < 0 || addrLen > NS_ADDR_SIZE)
        __builtin_trap();
    std::uint8_t copy[NS_ADDR_SIZE];
    std::memcpy(copy, addr, static_cast<std::size_t>(addrLen));
    (void)*level;
    return succeeds() ? 0 : -1;
}

extern "C" int usptcp_UnregisterUspName(const char *name, int) {
    touchText(name);
    return succeeds() ? 0 : -1;
}

extern "C" int usptcp_RegisterPCName(const char *name) {
    touchText(name);
    return succeeds() ? 0 : -1;
}

extern "C" int usptcp_UnregisterPCName(const char *name) {
    touchText(name);
    return succeeds() ? 0 : -1;
}

extern "C" int usptcp_Control(int) { return succeeds() ? 0 : -1; }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Results and the usage line are not what is examined here.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    opterr = 0;  // nor the option parser's messages
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    answers = data[0];
    calls = 0;
    std::vector<std::unique_ptr<char[]>> words;
    auto addWord = [&words](const char *p, std::size_t n) {
        auto w = std::make_unique<char[]>(n + 1);
        std::memcpy(w.get(), p, n);
        w[n] = '\0';
        words.push_back(std::move(w));
    };
    addWord("nsadmin", 7);
    const char *p = reinterpret_cast<const char *>(data + 1);
    const char *end = reinterpret_cast<const char *>(data + size);
    while (p < end && words.size() < 64) {
        const char *nul = static_cast<const char *>(std::memchr(p, '\0', end - p));
        const char *stop = nul != nullptr ? nul : end;
        addWord(p, static_cast<std::size_t>(stop - p));
        p = stop + 1;
    }
    const int argc = static_cast<int>(words.size());
    auto argv = std::make_unique<char *[]>(words.size() + 1);
    for (std::size_t i = 0; i < words.size(); ++i) argv[i] = words[i].get();
    argv[words.size()] = nullptr;

    optind = 0;  // a fresh parse, as in a new process
    const int status = AdminMain(argc, argv.get());
    if (status != 0 && status != 1) __builtin_trap();
    std::fflush(stdout);
    return 0;
}
