#include "settingsrules.h"

#include <QCoreApplication>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("SettingsPage", text);
}
} // namespace

QString hideIpText(bool hideIp, bool always, int p, int d)
{
    if (!hideIp || p <= 0)
        return QString();
    if (always || d < 1)
        return tr("With this on, every match goes through the server in Virginia: at least %1 ms of "
                  "ping from here (your ping to it is %2 ms), even against a player next door.")
            .arg(2 * p)
            .arg(p);
    return tr("With this on, a match goes through the server in Virginia: at least %1 ms of ping "
              "from here (your ping to it is %2 ms). When that is over %3 ms, the match tries "
              "your opponent directly and plays that way if it is faster: they can then see your "
              "address.")
        .arg(2 * p)
        .arg(p)
        .arg(d);
}

QString delayNote(int frames, const QString &label)
{
    if (frames < 0)
        return tr("Auto: the delay comes from the ping between you and your opponent, the same in "
                  "both games.");
    return tr("%1 of delay, or the other player's when it is larger (Auto counts as the ping's).").arg(label);
}
