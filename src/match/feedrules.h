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

// Where the launcher stands in one match's relayed feed: `at` is the feed offset of the next
// bytes the server sends, `taken` how far the feed was taken already. A server that offers the
// match again (after a dropped link) says where its relay starts again ("from"), 0 when it does
// not say.
struct Place {
    qint64 at = 0;
    qint64 taken = 0;
};
// How many leading bytes of the next `size` relayed bytes were taken before (and must not be
// passed on twice); moves the place past them.
qsizetype takeRelayed(Place &place, qsizetype size);

} // namespace feedrules
