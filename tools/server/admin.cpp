// The operator's console on standard input: one command per line.
//   notice TEXT        an information notice to every connected launcher
//   warn TEXT          the same as a warning
//   online             prints the player counts
//   reload             reads the update offer file again
//   feeds              prints the spectator feed counts
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
        std::printf("orx-server: online %s\n",
                    QJsonDocument(onlineObject()).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else if (cmd == "feeds") {
        std::printf("orx-server: feeds %s\n",
                    QJsonDocument(m_feeds->statsObject()).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else if (cmd == "reload") {
        reloadUpdateOffer();
    } else {
        serverLog(
            QStringLiteral("console: unknown command \"%1\" (notice, warn, online, feeds, reload)").arg(cmd));
    }
}
