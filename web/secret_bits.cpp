#include "secret_bits.h"

#include <QRandomGenerator>
#include <sodium.h>
#include <vector>

namespace kavo::web {

QByteArray randomHex(std::size_t bytes) {
    std::vector<quint32> words((bytes + 3) / 4);
    QRandomGenerator::system()->fillRange(words.data(), qsizetype(words.size()));
    const QByteArray raw(reinterpret_cast<const char*>(words.data()), qsizetype(bytes));
    sodium_memzero(words.data(), words.size() * sizeof(quint32));
    return raw.toHex();
}

QByteArray secretHash(QByteArrayView secret) {
    QByteArray hash(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), std::size_t(hash.size()),
                       reinterpret_cast<const unsigned char*>(secret.data()),
                       static_cast<unsigned long long>(secret.size()), nullptr, 0);
    return hash;
}

bool sameSecret(QByteArrayView a, QByteArrayView b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), std::size_t(a.size())) == 0;
}

} // namespace kavo::web
