// Any text in the stored port number or baud-rate code reads to a usable
// port or none, and to one of the two baud codes.

#include "line_settings.h"

#include <cstdint>
#include <cstdlib>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const int port = kavo::storedPortNumber(text);
    if (port != 0 && !kavo::isUsablePort(port))
        std::abort();
    const int code = kavo::storedBaudCode(text);
    if (code != kavo::kBaud9600 && code != kavo::kBaud19200)
        std::abort();
    const QString latin = QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(size));
    if (kavo::storedPortNumber(latin) != 0 && !kavo::isUsablePort(kavo::storedPortNumber(latin)))
        std::abort();
    return 0;
}
