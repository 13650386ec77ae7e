#pragma once
#include <QtGlobal>

namespace x360::writer {

// Deterministic filler bytes: the same (seed, offset) always gives the same bytes, so generated
// images and their hashes are identical on every run and files can be streamed piece by piece.
void fillPattern(char *out, qint64 length, qint64 offset, quint32 seed);

} // namespace x360::writer
