#include "match/localtest.h"

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "match/codeprep.h"
#include "match/matchhost.h"
#include "match/matchreports.h"

#include <QRandomGenerator>
#include <QTime>
#include <QTimer>

namespace localtest {

QString startLine(const QString &gameId, const QString &mode, int side, int port1, int port2, int delay,
                  quint32 seed, const QString &p1, const QString &p2, const QString &matchId)
{
    const int local = side == 1 ? port1 : port2;
    const int remote = side == 1 ? port2 : port1;
    return QStringLiteral("start game=%1 mode=%2 side=%3 local_port=%4 remote=127.0.0.1:%5 delay=%6 seed=%7 "
                          "p1=%8 p2=%9 rounds=5 ranked=0 match=%10")
        .arg(gameId, mode)
        .arg(side)
        .arg(local)
        .arg(remote)
        .arg(delay)
        .arg(seed)
        .arg(p1, p2, matchId);
}

QString resultPart(const QString &statusLine)
{
    const qsizetype at = statusLine.indexOf(QLatin1String(" match="));
    return at < 0 ? statusLine : statusLine.left(at);
}

} // namespace localtest

LocalTest::LocalTest(MatchHost *host, QObject *parent) : QObject(parent), m_h(host) {}

bool LocalTest::start(const QString &gameId, const QString &mode, const QString &p1, const QString &p2,
                      QString *reason)
{
    if (m_h->phase() != MatchController::Idle) {
        if (reason)
            *reason = tr("Busy: %1").arg(m_h->phaseText());
        return false;
    }
    if (!m_h->prepCheck(gameId, reason))
        return false;
    stop();
    auto *one = new GameProcess(gameId, 1, this);
    auto *two = new GameProcess(gameId, 2, this);
    m_h->watchGame(one, QStringLiteral("local test"));
    m_h->watchGame(two, QStringLiteral("local test"));
    const QString exe = cfg::gameExe(gameId);
    QString error;
    if (!one->start(exe, &error, true) || !two->start(exe, &error, true)) {
        one->stop();
        two->stop();
        delete one;
        delete two;
        if (reason)
            *reason = error;
        return false;
    }
    m_one = one;
    m_two = two;
    connect(one, &GameProcess::statusChanged, this, [this](const QString &line) { onStatus(1, line); });
    connect(two, &GameProcess::statusChanged, this, [this](const QString &line) { onStatus(2, line); });
    connect(one, &GameProcess::exited, this, &LocalTest::onExited);
    connect(two, &GameProcess::exited, this, &LocalTest::onExited);
    const int port1 = cfg::localPort(1);
    const int port2 = cfg::localPort(2);
    const int setDelay = cfg::inputDelay();
    const int delay = setDelay < 0 ? 1 : setDelay;
    const quint32 seed = quint32(QRandomGenerator::global()->generate64() & 0xFFFFFFFFu);
    const QString matchId =
        QStringLiteral("local-") + QTime::currentTime().toString(QStringLiteral("hhmmss"));
    for (int side : {1, 2})
        m_pending[side - 1] =
            localtest::startLine(gameId, mode, side, port1, port2, delay, seed, p1, p2, matchId);
    m_result[0].clear();
    m_result[1].clear();
    m_h->setPhase(
        MatchController::LocalTest,
        tr("Local test: two instances on ports %1/%2, waiting for both to be ready").arg(port1).arg(port2));
    return true;
}

GameProcess *LocalTest::instance(int n) const
{
    return n == 1 ? m_one.data() : n == 2 ? m_two.data() : nullptr;
}

QString LocalTest::statusText() const
{
    auto last = [](const QPointer<GameProcess> &g) { return g ? g->lastStatus() : QStringLiteral("-"); };
    return QStringLiteral("local test: 1 %1 / 2 %2").arg(last(m_one), last(m_two));
}

void LocalTest::onStatus(int n, const QString &line)
{
    // Only this instance's new line counts: a result already compared is not taken again.
    if (line.section(QLatin1Char(' '), 0, 0) == QLatin1String("result"))
        m_result[n - 1] = localtest::resultPart(line);
    update();
}

void LocalTest::onExited()
{
    update();
}

void LocalTest::update()
{
    if (!m_one || !m_two)
        return;
    m_h->gameStatusTextChanged();
    if (!m_pending[0].isEmpty() && m_one->statusWord() == QLatin1String("ready") &&
        m_two->statusWord() == QLatin1String("ready")) {
        m_one->sendCommand(m_pending[0]);
        m_two->sendCommand(m_pending[1]);
        m_pending[0].clear();
        m_pending[1].clear();
        m_h->setPhase(MatchController::LocalTest,
                      tr("Local test: start lines written, both instances starting"));
    }
    if (!m_result[0].isEmpty() && !m_result[1].isEmpty()) {
        if (m_result[0] == m_result[1])
            m_h->setPhase(MatchController::LocalTest,
                          tr("Local test: both instances agree: %1").arg(m_result[0]));
        else
            m_h->setPhase(MatchController::LocalTest,
                          tr("Local test: results differ: %1 / %2").arg(m_result[0], m_result[1]));
        m_result[0].clear();
        m_result[1].clear();
        m_one->sendCommand(QStringLiteral("park"));
        m_two->sendCommand(QStringLiteral("park"));
    }
    if (!m_one->isRunning() && !m_two->isRunning()) {
        m_h->log(tr("Local test: both instances exited"));
        // Possibly inside one of their own exit signals: let them go on the next turn.
        m_one->disconnect(this);
        m_two->disconnect(this);
        m_one->deleteLater();
        m_two->deleteLater();
        m_one = nullptr;
        m_two = nullptr;
        if (m_h->phase() == MatchController::LocalTest)
            m_h->setPhase(MatchController::Idle, tr("Local test finished"));
    }
}

void LocalTest::stop()
{
    for (QPointer<GameProcess> *slot : {&m_one, &m_two}) {
        GameProcess *game = *slot;
        *slot = nullptr;
        if (!game)
            continue;
        game->disconnect(this);
        game->quit();
        QTimer::singleShot(6000, game, &QObject::deleteLater);
    }
    m_pending[0].clear();
    m_pending[1].clear();
    if (m_h->phase() == MatchController::LocalTest)
        m_h->setPhase(MatchController::Idle, tr("Local test stopped"));
}
