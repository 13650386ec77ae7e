#pragma once
// The spectator feed's framing: a sequence of records, each a 16-bit little-endian length and that
// many bytes. Free functions, so the links and the tests share one definition.

#include <QByteArray>
#include <QList>

namespace feedrules {

// Length of the longest prefix made only of whole records.
qsizetype completePrefix(const QByteArray &bytes);
// Whether the bytes are whole records and nothing else (empty counts as none).
bool wholeRecords(const QByteArray &bytes);
// The whole records of `prefix` cut into chunks of consecutive records of at most `maxChunk`
// bytes; a record larger than that is a chunk of its own.
QList<QByteArray> chunks(const QByteArray &prefix, qsizetype maxChunk);

} // namespace feedrules
