#include "supportpage.h"

#include "core/log.h"
#include "core/pagekit.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

struct Known {
    const char *service;
    const char *description;
    const char *button;
};
const Known kKnown[] = {
    {"YouTube", QT_TRANSLATE_NOOP("SupportPage", "Videos."),
     QT_TRANSLATE_NOOP("SupportPage", "OPEN YOUTUBE")},
    {"Twitch", QT_TRANSLATE_NOOP("SupportPage", "Live streams."),
     QT_TRANSLATE_NOOP("SupportPage", "OPEN TWITCH")},
};

} // namespace

SupportContent readSupportContent(const QByteArray &json, QStringList *problems)
{
    SupportContent content;
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    content.person = root.value(QStringLiteral("person")).toString();
    const QJsonArray list = root.value(QStringLiteral("channels")).toArray();
    for (const Known &k : kKnown) {
        const QString service = QString::fromLatin1(k.service);
        QJsonObject entry;
        for (const QJsonValue &v : list) {
            if (v.toObject().value(QStringLiteral("service")).toString() == service)
                entry = v.toObject();
        }
        const QString shortAddress = entry.value(QStringLiteral("short")).toString().trimmed();
        const QString url = entry.value(QStringLiteral("url")).toString().trimmed();
        const QUrl parsed(url, QUrl::StrictMode);
        if (shortAddress.isEmpty() || !parsed.isValid() || parsed.scheme() != QLatin1String("https") ||
            parsed.host().isEmpty()) {
            if (problems)
                *problems << service;
            continue;
        }
        content.channels.append({service, QCoreApplication::translate("SupportPage", k.description),
                                 shortAddress, QCoreApplication::translate("SupportPage", k.button), url});
    }
    return content;
}

SupportPage::SupportPage(QWidget *parent, const QByteArray &distribution) : Page(parent)
{
    QByteArray json = distribution;
    if (json.isEmpty()) {
        QFile file(QStringLiteral(":/distribution/support.json"));
        if (file.open(QIODevice::ReadOnly))
            json = file.readAll();
    }
    QStringList problems;
    const SupportContent content = readSupportContent(json, &problems);
    for (const QString &service : problems)
        appendLog(QStringLiteral("launcher: support page: the %1 address is missing or is not https: its "
                                 "card is left out")
                      .arg(service));

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(28, 20, 28, 20);
    column->setSpacing(12);
    const QString who = content.person.isEmpty() ? tr("the person who runs them") : content.person;
    column->addWidget(makePageHeader(
        tr("Support"),
        tr("Follow %1 on YouTube and Twitch: videos of Orvex Rovivi and live streams of its making.")
            .arg(who)));
    auto *row = new QHBoxLayout;
    row->setSpacing(16);
    for (const SupportChannel &c : content.channels) {
        QVBoxLayout *cardLayout = nullptr;
        QFrame *card = makeCard(c.service, &cardLayout, this);
        auto *description = new QLabel(c.description, card);
        description->setWordWrap(true);
        auto *address = new QLabel(c.shortAddress, card);
        address->setObjectName(QStringLiteral("Muted"));
        auto *button = new QPushButton(c.buttonText, card);
        button->setObjectName(QStringLiteral("Primary"));
        button->setCursor(Qt::PointingHandCursor);
        button->setToolTip(c.url);
        const QUrl url(c.url);
        connect(button, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
        cardLayout->addWidget(description);
        cardLayout->addWidget(address);
        cardLayout->addWidget(button);
        row->addWidget(card, 1, Qt::AlignTop);
    }
    column->addLayout(row);
    column->addStretch();
}
