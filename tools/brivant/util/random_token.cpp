#include "random_token.h"

#include <cstdint>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#include <cerrno>
#endif

namespace brivant::tool {

namespace {

constexpr std::size_t kTokenBytes = 16;

void fillRandom(unsigned char* bytes, std::size_t size) {
#if defined(_WIN32)
    if (BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        throw std::runtime_error("the system's random source gave no bytes");
    }
#else
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(bytes + filled, size - filled, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw std::runtime_error("the system's random source gave no bytes");
        }
        filled += static_cast<std::size_t>(got);
    }
#endif
}

} // namespace

std::string randomToken() {
    unsigned char bytes[kTokenBytes];
    fillRandom(bytes, sizeof bytes);
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 0x0F];
    }
    return token;
}

bool sameToken(const std::string& given, const std::string& token) {
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < token.size(); ++i) {
        char c = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(c ^ token[i]);
    }
    return difference == 0;
}

} // namespace brivant::tool
