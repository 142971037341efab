// A system resolver that answers late, loaded into a program under test with
// LD_PRELOAD: names ending in ".slow.test" are looked up for ten seconds and
// then not found; every other name goes to the real resolver.

#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

namespace {

constexpr char kSlowSuffix[] = ".slow.test";
constexpr unsigned kLookupSeconds = 10;

bool isSlow(const char* host) {
    if (host == nullptr)
        return false;
    const std::size_t length = std::strlen(host);
    const std::size_t suffix = sizeof kSlowSuffix - 1;
    return length >= suffix && std::strcmp(host + length - suffix, kSlowSuffix) == 0;
}

} // namespace

extern "C" int getaddrinfo(const char* host, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    if (isSlow(host)) {
        ::sleep(kLookupSeconds);
        return EAI_NONAME;
    }
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(host, service, hints, result);
}
