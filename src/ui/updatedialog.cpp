#include "updatedialog.h"

#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "platform/platform.h"
#include "theme.h"
#include "update/updater.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

UpdateDialog::UpdateDialog(const QJsonObject &offer, bool required, const QString &reason, QWidget *parent)
    : QDialog(parent), m_model(offer, required, reason, Updater::isOtherBuild(offer), cfg::buildLabel())
{
    setObjectName(QStringLiteral("UpdateDialog"));
    setWindowTitle(m_model.windowTitle());
    platform::useDarkTitleBar(this);
    // Not modal: the player keeps using the launcher while the update downloads.
    setModal(false);
    setMinimumWidth(560);
    keepWrappedTextWhole(this);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(28, 22, 28, 22);
    column->setSpacing(10);

    auto *logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("UpdateLogo"));
    logo->setPixmap(logoPixmap(64));
    column->addWidget(logo);

    auto *heading = new QLabel(m_model.heading(), this);
    heading->setObjectName(QStringLiteral("CardTitle"));
    column->addWidget(heading);

    auto *version = new QLabel(m_model.versionText(), this);
    version->setObjectName(QStringLiteral("Big"));
    column->addWidget(version);

    auto *explanation = new QLabel(m_model.explanation(), this);
    explanation->setObjectName(QStringLiteral("Rank"));
    explanation->setWordWrap(true);
    column->addWidget(explanation);

    if (!m_model.notes().isEmpty()) {
        // The server's words, never markup.
        auto *notes = new QLabel(this);
        notes->setObjectName(QStringLiteral("UpdateNotes"));
        notes->setTextFormat(Qt::PlainText);
        notes->setWordWrap(true);
        notes->setText(m_model.notes());
        column->addWidget(notes);
    }
    if (!m_model.linkHtml().isEmpty()) {
        auto *link = new QLabel(this);
        link->setObjectName(QStringLiteral("UpdateLink"));
        link->setTextFormat(Qt::RichText);
        link->setTextInteractionFlags(Qt::TextBrowserInteraction);
        link->setOpenExternalLinks(false);
        link->setText(m_model.linkHtml());
        connect(link, &QLabel::linkActivated, this, &UpdateDialog::openPage);
        column->addWidget(link);
    }

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("Muted"));
    m_status->setWordWrap(true);
    column->addWidget(m_status);

    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("UpdateProgress"));
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(8);
    m_bar->setRange(0, 100);
    m_bar->hide();
    column->addWidget(m_bar);

    auto *buttons = new QHBoxLayout;
    m_primary = new QPushButton(this);
    m_primary->setObjectName(QStringLiteral("Primary"));
    m_primary->setProperty("compact", true);
    m_primary->setDefault(true);
    m_second = new QPushButton(this);
    m_second->setObjectName(QStringLiteral("UpdateSecond"));
    m_second->setAutoDefault(false);
    buttons->addWidget(m_primary, 1);
    buttons->addWidget(m_second, 1);
    column->addLayout(buttons);

    connect(m_primary, &QPushButton::clicked, this, [this] {
        switch (m_model.primaryClicked()) {
        case UpdateDialogModel::Action::UpdateNow:
            refresh();
            emit updateNow();
            break;
        case UpdateDialogModel::Action::OpenPage:
            openPage(m_model.page());
            break;
        default:
            // A page that is no web page is refused, and the log says why nothing opened.
            if (!m_model.primaryEnabled() || m_model.offeredPage().isEmpty())
                break;
            openPage(m_model.offeredPage());
            break;
        }
    });
    connect(m_second, &QPushButton::clicked, this, [this] {
        if (m_model.secondClicked() == UpdateDialogModel::Action::Cancel) {
            refresh();
            emit cancelRequested();
        } else {
            QDialog::reject();
        }
    });
    refresh();
    m_primary->setFocus();
}

void UpdateDialog::reject()
{
    // Closed by its window button or Escape: the main window cancels whatever runs.
    m_model.closed();
    QDialog::reject();
}

void UpdateDialog::showProgress(const QString &text, int percent)
{
    m_model.showProgress(text, percent);
    refresh();
}

void UpdateDialog::showFailure(const QString &text)
{
    m_model.showFailure(text);
    refresh();
}

void UpdateDialog::showWaiting(const QString &text)
{
    m_model.showWaiting(text);
    refresh();
}

void UpdateDialog::refresh()
{
    m_status->setText(m_model.status());
    m_primary->setText(m_model.primaryText());
    m_primary->setEnabled(m_model.primaryEnabled());
    m_second->setText(m_model.secondText());
    // At least 40 pixels high. A taller hint (the theme's font and padding) is the layout's to give,
    // and an explicit minimum would hold the button at the minimum instead.
    for (QPushButton *button : {m_primary, m_second}) {
        button->ensurePolished();
        button->setMinimumHeight(button->sizeHint().height() < 40 ? 40 : 0);
    }
    if (m_model.barBusy()) {
        m_bar->setRange(0, 0);
    } else {
        m_bar->setRange(0, 100);
        m_bar->setValue(m_model.barValue());
    }
    m_bar->setVisible(m_model.barVisible());
}

void UpdateDialog::openPage(const QString &url)
{
    // The address comes from the server: only web pages reach the desktop's handler.
    if (!UpdateDialogModel::isWebPage(url)) {
        appendLog(QStringLiteral("update: the download page %1 is not a web address: not opened").arg(url));
        return;
    }
    QDesktopServices::openUrl(QUrl(url));
}
