#pragma once
// The spectator feed's pure rules: record framing, strict Base64 and cutting a feed into chunks at
// record bounds. Free functions, so they are tested without a server.
//
// A feed is a sequence of records, each a 16-bit little-endian length followed by that many bytes.

#include <QByteArray>
#include <QList>
#include <QString>

namespace feed {

// What one "feed" keeps per match; more is dropped.
constexpr qsizetype MaxFeedBytes = 16 * 1024 * 1024;
// The most feed bytes one "spectate_feed" carries: their Base64 (64000 characters) and the rest of
// the message stay well inside a 65536-byte line. A record longer than this cannot be relayed.
constexpr qsizetype MaxRelayBytes = 48000;

// The end of the run of whole records that starts at from and holds at most limit bytes; a single
// whole record longer than limit forms a run by itself. from when no whole record starts there.
qsizetype recordsEnd(const QByteArray &data, qsizetype from, qsizetype limit);
// Non-empty and made only of whole records.
bool wholeRecords(const QByteArray &data);
// The length of the longest record of data (whole records assumed), 0 when empty.
qsizetype largestRecord(const QByteArray &data);
// The whole records of data (which must hold only whole records) cut into chunks at record bounds,
// each at most limit bytes unless a single record is longer.
QList<QByteArray> chunkRecords(const QByteArray &data, qsizetype limit);
// Decodes standard Base64 with its padding and nothing else (no blanks, no URL alphabet, no
// missing padding); false for anything else.
bool decodeStrict(const QString &text, QByteArray *out);

} // namespace feed
