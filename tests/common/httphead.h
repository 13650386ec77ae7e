#pragma once
// The head of an HTTP request as the tests' small servers read it: method, path and headers
// (names in lower case). Enough for the requests the launcher makes, not a general parser.

#include <QByteArray>
#include <QHash>
#include <QList>

namespace testutil {

struct HttpHead {
    QByteArray method, path;
    QHash<QByteArray, QByteArray> headers; // lower-case names
};

// Reads the head at the start of `buffer` into `head`; the offset just past its blank line, or -1
// while the head is not complete yet.
inline qsizetype readHttpHead(const QByteArray &buffer, HttpHead &head)
{
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return -1;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    head.method = first.value(0);
    head.path = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0)
            head.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                lines.at(i).mid(colon + 1).trimmed());
    }
    return end + 4;
}

} // namespace testutil
