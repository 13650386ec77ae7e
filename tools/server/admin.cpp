// The operator's console on standard input: one command per line.
//   notice TEXT        an information notice to every connected launcher
//   warn TEXT          the same as a warning
//   online             prints the player counts
//   reload             reads the update offer file again
//   feeds              prints the spectator feed counts
#include "elo.h"
#include "feedrelay.h"
#include "matchhub.h"
#include "server.h"

#include <QJsonDocument>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

void Server::startConsole()
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            // End of input (or no console at all): stop listening, the server goes on.
            notifier->setEnabled(false);
            return;
        }
        m_consoleBuffer.append(buf, n);
        qsizetype nl;
        while ((nl = m_consoleBuffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_consoleBuffer.left(nl)).trimmed();
            m_consoleBuffer.remove(0, nl + 1);
            if (!line.isEmpty())
                consoleLine(line);
        }
        if (m_consoleBuffer.size() > 65536)
            m_consoleBuffer.clear();
    });
}

void Server::consoleLine(const QString &line)
{
    const QString cmd = line.section(' ', 0, 0);
    const QString rest = line.section(' ', 1).trimmed();
    if ((cmd == "notice" || cmd == "warn") && !rest.isEmpty()) {
        broadcastNotice(rest.left(500), cmd == "warn" ? "warn" : "info");
    } else if (cmd == "online") {
        // Beside the counts the launchers see: the player records held and the throttle's keys, so
        // an operator (and the tests) can see that they shrink.
        QJsonObject o = onlineObject();
        o.insert("records", int(m_players.size()));
        o.insert("throttled", int(m_throttle.keys()));
        o.insert("pass_us", m_hub->lastPassUs());
        o.insert("longest_pass_us", m_hub->longestPassUs());
        std::printf("orx-server: online %s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else if (cmd == "feeds") {
        std::printf("orx-server: feeds %s\n",
                    QJsonDocument(m_feeds->statsObject()).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else if (cmd == "reload") {
        reloadUpdateOffer();
    } else if (cmd == "elo") {
        setRankedEloFromConsole(rest);
    } else {
        serverLog(QStringLiteral("console: unknown command \"%1\" (notice, warn, online, feeds, reload, elo)")
                      .arg(cmd));
    }
}

// "elo NAME VALUE": the account's ranked Elo in orx/versus, with one more finished set.
void Server::setRankedEloFromConsole(const QString &args)
{
    const QStringList parts = args.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    bool ok = false;
    const int value = parts.size() == 2 ? parts.at(1).toInt(&ok) : 0;
    if (!ok || value < 0 || value > 5000) {
        serverLog(QStringLiteral("console: elo needs a name and a value from 0 to 5000"));
        return;
    }
    AccountRow account;
    if (!m_db.findAccount(parts.at(0), account)) {
        serverLog(QStringLiteral("console: elo: no account \"%1\"").arg(parts.at(0)));
        return;
    }
    if (!m_db.setRankedElo(account.id, QStringLiteral("orx"), QStringLiteral("versus"), value)) {
        serverLog(QStringLiteral("console: elo: %1 could not be stored").arg(account.name));
        return;
    }
    std::printf("orx-server: elo %s %d %s\n", qPrintable(account.name), value,
                qPrintable(elo::titleFor(value)));
    std::fflush(stdout);
}
