#include "updatedialogmodel.h"

#include "core/version.h"

#include <QUrl>

namespace {
QString mine()
{
    return QString::fromLatin1(kLauncherVersion);
}
} // namespace

UpdateDialogModel::UpdateDialogModel(const QJsonObject &offer, bool required, const QString &reason,
                                     bool testBuild, const QString &ownBuild)
    : m_offer(offer), m_required(required), m_reason(reason), m_testBuild(testBuild), m_ownBuild(ownBuild)
{
    m_status = m_reason.isEmpty() ? tr("The launcher downloads it, checks it, puts it in place and starts "
                                       "again. Your settings, saves and built games stay.")
                                  : m_reason;
    m_primary = m_reason.isEmpty() ? tr("UPDATE NOW") : tr("OPEN THE DOWNLOAD PAGE");
    m_second = tr("LATER");
}

QString UpdateDialogModel::windowTitle() const
{
    return tr("Orvex Rovivi %1").arg(m_offer.value(QStringLiteral("version")).toString());
}

QString UpdateDialogModel::heading() const
{
    return m_required ? tr("UPDATE NEEDED") : tr("UPDATE AVAILABLE");
}

QString UpdateDialogModel::versionText() const
{
    return tr("Orvex Rovivi %1").arg(m_offer.value(QStringLiteral("version")).toString());
}

QString UpdateDialogModel::explanation() const
{
    if (m_testBuild)
        return tr("You have a test build of %1 (packaged %2). Everyone else plays the release of %1 "
                  "(packaged %3), whose game differs from yours: update to play with them.")
            .arg(mine(), m_ownBuild, m_offer.value(QStringLiteral("build")).toString());
    if (m_required)
        return tr("You have %1. The server needs this version to play online.").arg(mine());
    return tr("You have %1. Players on another version cannot play you: update to play with everyone.")
        .arg(mine());
}

QString UpdateDialogModel::notes() const
{
    return m_offer.value(QStringLiteral("notes")).toString();
}

QString UpdateDialogModel::linkHtml() const
{
    const QString pageUrl = m_offer.value(QStringLiteral("page")).toString();
    if (!pageUrl.startsWith(QLatin1String("https://")))
        return QString();
    const QString what = tr("What's new in %1").arg(m_offer.value(QStringLiteral("version")).toString());
    return QStringLiteral("<a href=\"%1\" style=\"color:#F2C14E\">%2</a>")
        .arg(pageUrl.toHtmlEscaped(), what.toHtmlEscaped());
}

QString UpdateDialogModel::page() const
{
    const QString pageUrl = m_offer.value(QStringLiteral("page")).toString();
    return isWebPage(pageUrl) ? pageUrl : QString();
}

bool UpdateDialogModel::isWebPage(const QString &url)
{
    // The scheme is checked on the text itself as well: QUrl repairs some malformed input.
    if (!url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive) &&
        !url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
        return false;
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && (scheme == QLatin1String("https") || scheme == QLatin1String("http")) &&
           !parsed.host().isEmpty();
}

UpdateDialogModel::Action UpdateDialogModel::primaryClicked()
{
    if (!m_primaryEnabled)
        return Action::None;
    if (!m_reason.isEmpty())
        return page().isEmpty() ? Action::None : Action::OpenPage;
    enterWorking();
    return Action::UpdateNow;
}

UpdateDialogModel::Action UpdateDialogModel::secondClicked()
{
    if (!working())
        return Action::Close;
    toIdle();
    m_state = State::Cancelled;
    m_status = tr("Cancelled: nothing was changed.");
    return Action::Cancel;
}

UpdateDialogModel::Action UpdateDialogModel::closed()
{
    if (working()) {
        toIdle();
        m_state = State::Cancelled;
        m_status = tr("Cancelled: nothing was changed.");
    }
    return Action::Close;
}

void UpdateDialogModel::toIdle()
{
    m_primaryEnabled = true;
    m_primary = tr("UPDATE NOW");
    m_second = tr("LATER");
    m_barVisible = false;
}

void UpdateDialogModel::enterWorking()
{
    m_state = State::Working;
    m_primaryEnabled = false;
    m_second = tr("CANCEL");
    m_barVisible = true;
}

void UpdateDialogModel::showProgress(const QString &text, int percent)
{
    // Progress can come for an update started before the dialog opened (--auto-update).
    if (m_state != State::Working)
        enterWorking();
    m_status = text;
    m_barVisible = true;
    m_barBusy = percent < 0;
    if (percent >= 0)
        m_barValue = qMin(percent, 100);
}

void UpdateDialogModel::showFailure(const QString &text)
{
    m_state = State::Failed;
    m_status = text;
    m_barVisible = false;
    m_primaryEnabled = true;
    m_primary = tr("TRY AGAIN");
    m_second = tr("LATER");
}

void UpdateDialogModel::showWaiting(const QString &text)
{
    enterWorking();
    m_state = State::Waiting;
    m_status = text;
    m_barVisible = true;
    m_barBusy = false;
    m_barValue = 100;
}
