#pragma once

// The secrets the web front end hands out (session ids, CSRF and API
// tokens) and the way it recognises them again without leaking them by
// timing.

#include <cstddef>
#include <QByteArray>
#include <QByteArrayView>

namespace kavo::web {

// `bytes` random bytes from the system's cryptographic generator, as
// lowercase hex (twice as many characters).
QByteArray randomHex(std::size_t bytes);
// BLAKE2b-256 of the text, 32 raw bytes: enough to look a random secret up
// by, since no one can choose a secret with a hash of their liking.
QByteArray secretHash(QByteArrayView secret);
// Whether the two are equal, in a time that depends only on their lengths.
bool sameSecret(QByteArrayView a, QByteArrayView b);

} // namespace kavo::web
