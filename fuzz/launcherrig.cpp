#include "launcherrig.h"

#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/log.h"
#include "fuzzapp.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "report/reportsender.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QPointer>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace fuzz {

struct LauncherRig::Parts {
    QTcpServer listener;
    QPointer<QTcpSocket> peer; // the launcher's connection, server side
    QByteArray heard;          // what the launcher sent since it last connected
    QUdpSocket udp;            // the server's UDP port: takes the hellos and forgets them
    ServerClient *client = nullptr;
    MatchController *match = nullptr;
    MenuBridge *bridge = nullptr;
    ReportSender *reports = nullptr;
    qint64 syncSeen = -1;
    qint64 nextSync = 0;

    void write(const QByteArray &line)
    {
        if (peer)
            peer->write(line + '\n');
    }
    void send(const QJsonObject &msg) { write(QJsonDocument(msg).toJson(QJsonDocument::Compact)); }
};

LauncherRig &LauncherRig::get()
{
    static LauncherRig *rig = new LauncherRig;
    rig->ensureSignedIn();
    return *rig;
}

LauncherRig::LauncherRig() : m(new Parts)
{
    app();
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    const QString config = QDir(workDir()).filePath(QStringLiteral("launcher/orx-launcher.ini"));
    QDir().mkpath(QFileInfo(config).absolutePath());
    {
        QSettings s(config, QSettings::IniFormat);
        s.setValue(QStringLiteral("online/game_port"), probe.localPort());
    }
    probe.close();
    cfg::init(config);

    m->listener.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m->listener, &QTcpServer::newConnection, [this] {
        while (QTcpSocket *s = m->listener.nextPendingConnection()) {
            if (m->peer)
                m->peer->deleteLater();
            m->peer = s;
            m->heard.clear();
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                const QByteArray bytes = s->readAll();
                if (s == m->peer && m->heard.size() < 65536)
                    m->heard += bytes;
            });
        }
    });
    m->udp.bind(QHostAddress::LocalHost, 0);
    QObject::connect(&m->udp, &QUdpSocket::readyRead, [this] {
        while (m->udp.hasPendingDatagrams())
            m->udp.receiveDatagram(2048);
    });

    m->client = new ServerClient;
    m->match = new MatchController(m->client);
    m->bridge = new MenuBridge(m->client, m->match);
    m->reports = new ReportSender(m->client, [this] { return QList<GameProcess *>{m->match->matchGame()}; });
    QObject::connect(m->client, &ServerClient::message, [this](const QJsonObject &msg) {
        if (msg.value(QStringLiteral("type")).toString() == QLatin1String("fuzz_sync"))
            m->syncSeen = msg.value(QStringLiteral("n")).toInteger();
    });
}

MenuBridge *LauncherRig::bridge() const
{
    return m->bridge;
}

void LauncherRig::ensureSignedIn()
{
    // The log is opened per line and never cut; millions of inputs would fill the disk.
    if (QFileInfo(logFilePath()).size() > 8 * 1024 * 1024)
        QFile::remove(logFilePath());
    for (int attempt = 0; m->client->state() != ServerClient::LoggedIn; ++attempt) {
        if (attempt == 5) {
            fprintf(stderr, "fuzz: the launcher does not sign in again (state %d)\n",
                    int(m->client->state()));
            abort();
        }
        if (m->client->state() == ServerClient::Offline || m->client->state() == ServerClient::Connecting ||
            !m->peer || m->peer->state() != QAbstractSocket::ConnectedState) {
            m->client->disconnectFromServer();
            m->heard.clear();
            m->client->connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(m->listener.serverPort()),
                                 QString());
            if (!pumpUntil([this] { return m->heard.contains("\"hello\""); }, 5000))
                continue;
            m->send(
                QJsonObject{{"type", "welcome"},
                            {"server", "orx-fuzz"},
                            {"version", "0.1.8"},
                            {"online", 2},
                            {"features", QJsonArray{"relay_choice", "pick_refused", "desync_detail", "koth"}},
                            {"udp_port", int(m->udp.localPort())},
                            {"direct_above_ms", 150},
                            {"motd", ""}});
        }
        m->send(QJsonObject{{"type", "account"},
                            {"name", "ann"},
                            {"token", "token-1"},
                            {"udp_token", "udp-1"},
                            {"profile", QJsonObject{{"name", "ann"}, {"stats", QJsonObject{}}}}});
        pumpUntil([this] { return m->client->state() == ServerClient::LoggedIn; }, 5000);
    }
}

void LauncherRig::deliver(const QList<QByteArray> &lines)
{
    ensureSignedIn();
    for (const QByteArray &line : lines)
        m->write(line);
    const qint64 n = ++m->nextSync;
    m->send(QJsonObject{{"type", "fuzz_sync"}, {"n", n}});
    // Done when the launcher has read the marker, or has let the connection go on the way.
    pumpUntil(
        [&] {
            return m->syncSeen == n || m->client->state() == ServerClient::Offline ||
                   m->client->state() == ServerClient::Connecting;
        },
        1 << 30);
}

} // namespace fuzz
