#include "playpage.h"

#include "core/pagekit.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "theme.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QPushButton *accountButton(const QString &text, bool primary, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    if (primary) {
        b->setObjectName(QStringLiteral("Primary"));
        b->setProperty("compact", true);
    } else {
        b->setProperty("big", true);
    }
    b->setCursor(Qt::PointingHandCursor);
    b->setMinimumWidth(220);
    return b;
}

QLabel *statusLabel(QWidget *parent)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QStringLiteral("Status"));
    return l;
}

} // namespace

PlayPage::PlayPage(ServerClient *server, MatchController *match, QWidget *parent)
    : Page(parent), m_server(server), m_match(match)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(40, 24, 40, 20);
    column->setSpacing(18);

    auto *noticeRow = new QHBoxLayout;
    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("Alert"));
    m_notice->setWordWrap(true);
    m_notice->setTextFormat(Qt::PlainText);
    m_notice->hide();
    m_openBuild = new QPushButton(tr("OPEN BUILD GAME"), this);
    m_openBuild->setObjectName(QStringLiteral("Primary"));
    m_openBuild->setProperty("compact", true);
    m_openBuild->setCursor(Qt::PointingHandCursor);
    m_openBuild->hide();
    noticeRow->addWidget(m_notice, 1);
    noticeRow->addWidget(m_openBuild, 0, Qt::AlignVCenter);
    column->addLayout(noticeRow);

    QVBoxLayout *cardLayout = nullptr;
    QFrame *card = makeCard(tr("Your account"), &cardLayout, this);
    auto *row = new QHBoxLayout;
    row->setSpacing(18);
    m_avatar = new QLabel(card);
    m_avatar->setObjectName(QStringLiteral("Avatar"));
    m_avatar->setFixedSize(72, 72);
    m_avatar->setAlignment(Qt::AlignCenter);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(4);
    m_name = new QLabel(card);
    m_name->setObjectName(QStringLiteral("Huge"));
    m_name->setTextFormat(Qt::PlainText);
    m_rank = new QLabel(card);
    m_rank->setObjectName(QStringLiteral("Rank"));
    m_status = statusLabel(card);
    m_status->setWordWrap(true);
    texts->addWidget(m_name);
    texts->addWidget(m_rank);
    texts->addWidget(m_status);
    auto *buttons = new QVBoxLayout;
    m_signIn = accountButton(tr("SIGN IN"), true, card);
    m_create = accountButton(tr("CREATE ACCOUNT"), false, card);
    m_signOut = accountButton(tr("Sign out"), false, card);
    m_connect = accountButton(tr("CONNECT AGAIN"), true, card);
    for (QPushButton *b : {m_signIn, m_create, m_signOut, m_connect})
        buttons->addWidget(b);
    buttons->addStretch();
    row->addWidget(m_avatar, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    row->addLayout(buttons);
    cardLayout->addLayout(row);
    column->addWidget(card);

    m_play = new QPushButton(tr("PLAY"), this);
    m_play->setObjectName(QStringLiteral("Play"));
    m_play->setMinimumHeight(110);
    m_play->setAccessibleName(tr("Play: start the game"));
    m_play->setCursor(Qt::PointingHandCursor);
    column->addWidget(m_play);

    m_gameLine = statusLabel(this);
    m_serverLine = statusLabel(this);
    m_matchLine = statusLabel(this);
    m_matchLine->setWordWrap(true);
    m_matchLine->setTextFormat(Qt::PlainText);
    m_matchLine->hide();
    column->addWidget(m_gameLine);
    column->addWidget(m_serverLine);
    column->addWidget(m_matchLine);

    QVBoxLayout *updateLayout = nullptr;
    auto *updateCard = makeCard(tr("Update"), &updateLayout, this);
    m_updateCard = updateCard;
    auto *updateRow = new QHBoxLayout;
    updateRow->setSpacing(12);
    m_updateText = new QLabel(updateCard);
    m_updateText->setObjectName(QStringLiteral("Rank"));
    m_updateText->setWordWrap(true);
    m_updateButton = new QPushButton(updateCard);
    m_updateButton->setObjectName(QStringLiteral("Primary"));
    m_updateButton->setProperty("compact", true);
    m_updateButton->setCursor(Qt::PointingHandCursor);
    updateRow->addWidget(m_updateText, 1);
    updateRow->addWidget(m_updateButton);
    updateLayout->addLayout(updateRow);
    m_updateCard->hide();
    column->addWidget(m_updateCard);
    column->addStretch();

    connect(m_play, &QPushButton::clicked, this, &PlayPage::playClicked);
    connect(m_signIn, &QPushButton::clicked, this, [this] { emit signInClicked(false); });
    connect(m_create, &QPushButton::clicked, this, [this] { emit signInClicked(true); });
    connect(m_signOut, &QPushButton::clicked, this, &PlayPage::signOutClicked);
    connect(m_connect, &QPushButton::clicked, this, &PlayPage::connectClicked);
    connect(m_updateButton, &QPushButton::clicked, this, &PlayPage::updateClicked);
    connect(m_openBuild, &QPushButton::clicked, this, &PlayPage::buildClicked);

    if (m_server)
        connect(m_server, &ServerClient::stateChanged, this, &PlayPage::refresh);
    if (m_match)
        connect(m_match, &MatchController::playerGameChanged, this, &PlayPage::refresh);
    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &PlayPage::refresh);
    m_timer->start();
    refresh();
}

void PlayPage::setStateSource(std::function<QJsonObject()> state, std::function<QJsonObject()> ownStats)
{
    m_state = std::move(state);
    m_stats = std::move(ownStats);
    refresh();
}

QJsonObject PlayPage::linkOnlyState() const
{
    QString state = QStringLiteral("offline");
    QString name;
    if (m_server) {
        switch (m_server->state()) {
        case ServerClient::LoggedIn:
            state = QStringLiteral("signed_in");
            name = m_server->accountName();
            break;
        case ServerClient::Rovivi:
            state = QStringLiteral("signed_out");
            break;
        case ServerClient::Connecting:
            state = QStringLiteral("connecting");
            break;
        case ServerClient::Offline:
            break;
        }
    }
    return QJsonObject{{QStringLiteral("account"),
                        QJsonObject{{QStringLiteral("state"), state}, {QStringLiteral("name"), name}}}};
}

void PlayPage::refresh()
{
    const QJsonObject state = m_state ? m_state() : linkOnlyState();
    const QJsonObject stats = m_stats ? m_stats() : QJsonObject();
    PlayGameState game;
    MatchController::Phase phase = MatchController::Idle;
    QString phaseText;
    if (m_match) {
        phase = m_match->phase();
        phaseText = m_match->phaseText();
        const GameProcess *running = m_match->matchGame();
        game.running = running && running->isRunning();
        game.status = game.running ? running->lastStatus() : QString();
    }
    apply(computePlayView(state, stats, phase, phaseText, game));
}

void PlayPage::apply(const PlayView &v)
{
    m_view = v;
    m_name->setText(v.name);
    m_rank->setText(v.rankLine);
    m_status->setText(v.accountStatus);
    // Redrawn only when it changes: the page refreshes every second.
    if (v.avatarRank != m_avatarShown) {
        m_avatarShown = v.avatarRank;
        const QPixmap rank = rankPixmap(v.avatarRank, 72);
        m_avatar->setPixmap(rank.isNull() ? defaultPicture(64) : rank);
    }
    m_signIn->setVisible(v.showSignIn);
    m_create->setVisible(v.showCreate);
    m_signOut->setVisible(v.showSignOut);
    m_signOut->setEnabled(v.signOutEnabled);
    m_connect->setVisible(v.showConnect);
    m_play->setText(v.playText);
    m_play->setAccessibleName(v.playAccessibleName);
    m_gameLine->setText(v.gameLine);
    m_serverLine->setText(v.serverLine);
    m_matchLine->setText(v.matchLine);
    m_matchLine->setVisible(!v.matchLine.isEmpty());
}

void PlayPage::setBuildNotice(const QString &text, bool showBuildButton)
{
    m_notice->setText(text);
    m_notice->setVisible(!text.isEmpty());
    m_openBuild->setVisible(!text.isEmpty() && showBuildButton);
}

void PlayPage::setUpdate(const QString &buttonText, const QString &text)
{
    m_updateButton->setText(buttonText);
    m_updateText->setText(text);
    m_updateCard->setVisible(!buttonText.isEmpty());
}

void PlayPage::focusPlay()
{
    m_play->setFocus(Qt::OtherFocusReason);
}

void PlayPage::clickPlay()
{
    if (m_play->isEnabled())
        m_play->animateClick();
}
