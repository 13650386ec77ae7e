#include "serveraddress.h"

ServerAddress parseServerAddress(const QString &text)
{
    ServerAddress result;
    QString rest = text.trimmed();
    if (rest.startsWith(QLatin1String("tcp://"))) {
        result.plain = true;
        rest = rest.mid(6);
    } else if (rest.startsWith(QLatin1String("tls://"))) {
        rest = rest.mid(6);
    }
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon > 0) {
        result.host = rest.left(colon);
        bool ok = false;
        const uint port = rest.mid(colon + 1).toUInt(&ok, 10);
        result.port = (ok && port > 0 && port <= 65535) ? quint16(port) : quint16(7777);
    } else {
        result.host = rest;
    }
    if (result.host.size() >= 2 && result.host.startsWith(QLatin1Char('[')) &&
        result.host.endsWith(QLatin1Char(']')))
        result.host = result.host.mid(1, result.host.size() - 2);
    return result;
}
