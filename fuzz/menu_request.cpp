// The game menu's request file: the input is what "ask.txt" holds. The launcher reads its first
// line as Latin-1 and trims it, as the bridge's poll does, checks the grammar, and carries the
// request out on a signed-in launcher (the requests it sends go to the rig's server). A line that
// starts with ">" is instead written by the server first, so requests meet lobbies and matches.

#include "bridge/bridgerules.h"
#include "bridge/menubridge.h"
#include "fuzzapp.h"
#include "launcherrig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QList<QByteArray> fromServer;
    QByteArray ask = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    while (ask.startsWith('>')) {
        const qsizetype lf = ask.indexOf('\n');
        if (lf < 0)
            break;
        fromServer << ask.mid(1, lf - 1);
        ask = ask.mid(lf + 1);
    }
    fuzz::LauncherRig &rig = fuzz::LauncherRig::get();
    if (!fromServer.isEmpty())
        rig.deliver(fromServer);
    const qsizetype lf = ask.indexOf('\n');
    const QString line = QString::fromLatin1(lf < 0 ? ask : ask.left(lf)).trimmed();
    if (line.isEmpty())
        return 0;
    bridgerules::parseRequest(line);
    bridgerules::percentDecoded(line);
    bridgerules::requestLogLine(line);
    rig.bridge()->handleRequest(line);
    rig.bridge()->composeState();
    rig.deliver({});
    return 0;
}
