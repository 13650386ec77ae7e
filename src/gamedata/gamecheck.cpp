// The identity checks: they compare a player's executable and title update with the definition and
// say, in one message the player can act on, what was found instead.

#include "gamedata/game.h"

#include "x360/xex.h"

#include <QCryptographicHash>

namespace {
QString hex8(quint32 value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}
} // namespace

QString Game::checkExecutable(const QByteArray &xex) const
{
    if (xexSha1.isEmpty())
        return QString();
    const QString sha1 = QString::fromLatin1(QCryptographicHash::hash(xex, QCryptographicHash::Sha1).toHex());
    if (sha1.compare(xexSha1, Qt::CaseInsensitive) == 0)
        return QString();

    QString description;
    x360::XexInfo info;
    QString readError;
    if (!x360::readXex(xex, &info, &readError)) {
        description = tr("not an Xbox 360 game's default.xex (%1)").arg(readError);
    } else if (!info.hasExecutionInfo) {
        description = tr("a default.xex without the title's execution info");
    } else if (info.titleId != titleId.toUInt(nullptr, 16)) {
        description = tr("another game (title ID %1)").arg(hex8(info.titleId).toUpper());
    } else if (x360::versionText(info.version) != xexVersion) {
        description = tr("%1 version %2 (this build is made from version %3)")
                          .arg(title, x360::versionText(info.version), xexVersion);
    } else if (hex8(info.mediaId).compare(mediaId, Qt::CaseInsensitive) != 0) {
        description = tr("another print or region of %1 (media ID %2, this build's is %3)")
                          .arg(title, hex8(info.mediaId).toUpper(), mediaId);
    } else {
        description = tr("a modified copy of %1 (the same version, changed: a patched or damaged executable)")
                          .arg(title);
    }
    return tr("This disc is %1, not %2 (%3). Orvex Rovivi builds the game from that release's default.xex "
              "only "
              "(SHA-1 %4): both players of a match must run the very same code, and the title update fits "
              "that "
              "version only. Use a disc image of %2 (%3).")
        .arg(description, title, edition, xexSha1);
}

QString Game::checkTitleUpdate(const QString &subject, const QString &foundSha1,
                               const QString &foundVersion) const
{
    const auto matches = [&](const TitleUpdate &update) {
        return !foundSha1.isEmpty() && foundSha1.compare(update.xexpSha1, Qt::CaseInsensitive) == 0;
    };
    const TitleUpdate *older = nullptr;
    if (!matches(titleUpdate)) {
        for (const TitleUpdate &update : olderTitleUpdates) {
            if (matches(update)) {
                older = &update;
                break;
            }
        }
    }
    QString paragraph;
    if (older) {
        paragraph = tr("%1 %2.").arg(subject, older->label());
    } else if (foundVersion.isEmpty() || foundVersion == titleUpdate.toVersion) {
        paragraph = tr("%1 not %2: its files are not the ones %2 has (a changed or damaged copy).")
                        .arg(subject, titleUpdate.label());
    } else {
        paragraph =
            tr("%1 another title update of %2: it makes the game version %3, and %4 makes it version %5.")
                .arg(subject, title, foundVersion, titleUpdate.label(), titleUpdate.toVersion);
    }
    return paragraph + QLatin1String("\n\n") + updateNeededText();
}

QString Game::updateNeededText() const
{
    const QString packageLabel =
        titleUpdate.packageNote.isEmpty()
            ? titleUpdate.package
            : QStringLiteral("%1 (%2)").arg(titleUpdate.package, titleUpdate.packageNote);
    QString capitalised = titleUpdate.label();
    if (!capitalised.isEmpty())
        capitalised[0] = capitalised[0].toUpper();
    const QString explanation = tr("%1 is the file %2. Your Xbox 360 downloads it from Xbox Live when it "
                                   "starts the game online, and usually "
                                   "keeps it in its folder Content\\0000000000000000\\%3\\000B0000.")
                                    .arg(capitalised, packageLabel, titleId);
    return tr("Orvex Rovivi now needs %1, the last update of %2. Both players of a match must have the same "
              "update.")
               .arg(titleUpdate.label(), title) +
           QLatin1String("\n\n") + explanation;
}
