#include "core/privacy.h"

#include <QRegularExpression>

namespace privacy {

namespace {

bool isAsciiLetter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z');
}

bool isSlash(QChar c)
{
    return c == u'\\' || c == u'/';
}

// Characters that end a folder name: Windows allows none of them in one, and a colon also ends a
// POSIX path in lists such as PATH.
bool endsName(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || u == 0x7f || u == u'\\' || u == u'/' || u == u':' || u == u'*' || u == u'"' ||
           u == u'<' || u == u'>' || u == u'|';
}

// Where the user name starts when a profile path starts at `i`, else -1.
qsizetype nameStartAt(QStringView text, qsizetype i)
{
    const qsizetype n = text.size();
    if (i + 9 <= n && isAsciiLetter(text[i]) && text[i + 1] == u':' && isSlash(text[i + 2]) &&
        text.mid(i + 3, 5).compare(u"users", Qt::CaseInsensitive) == 0 && isSlash(text[i + 8]))
        return i + 9;
    if (text.mid(i).startsWith(u"/home/"))
        return i + 6;
    return -1;
}

} // namespace

void maskAddresses(QString &text)
{
    static const QRegularExpression ipv4(QStringLiteral("\\b\\d{1,3}(\\.\\d{1,3}){3}\\b"));
    text.replace(ipv4, QStringLiteral("x.x.x.x"));
}

void maskUserFolders(QString &text)
{
    const QStringView view(text);
    const qsizetype n = view.size();
    QString out;
    qsizetype copied = 0;
    for (qsizetype i = 0; i < n;) {
        const qsizetype start = nameStartAt(view, i);
        if (start < 0) {
            ++i;
            continue;
        }
        qsizetype end = start;
        while (end < n && !endsName(view[end]))
            ++end;
        qsizetype nameEnd = end;
        // "C:\Users\ann to D:\x": the letter before the colon is the next path's drive, not the name's.
        if (end < n && view[end] == u':' && end > start && isAsciiLetter(view[end - 1]) &&
            (end - 1 == start || !view[end - 2].isLetterOrNumber()))
            --nameEnd;
        // No folder name ends in a blank: trailing blanks lead to what follows the path.
        while (nameEnd > start && view[nameEnd - 1].isSpace())
            --nameEnd;
        if (nameEnd == start) {
            i = start;
            continue;
        }
        if (out.isEmpty())
            out.reserve(n);
        out.append(view.mid(copied, start - copied));
        out.append(u'*');
        copied = nameEnd;
        i = nameEnd;
    }
    if (copied == 0)
        return;
    out.append(view.mid(copied));
    text = out;
}

} // namespace privacy
