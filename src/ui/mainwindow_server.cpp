// The main window's side of the server link and the router: connecting at start, the footer
// status, the notices for connection trouble, the trust question and the port mapper's start.
#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "mainwindow.h"
#include "net/fingerprint.h"
#include "net/serverclient.h"
#include "net/upnpmapper.h"

#include <QJsonObject>
#include <QLabel>
#include <QTimer>
#include <QUrl>

void MainWindow::wireServer()
{
    connect(server, &ServerClient::stateChanged, this, [this](ServerClient::State state) {
        refreshStatus();
        if (state == ServerClient::Rovivi)
            QTimer::singleShot(0, this, &MainWindow::firstRunPrompt);
    });
    connect(server, &ServerClient::connectionError, this, [this](const QString &text) {
        lastError = text;
        refreshStatus();
        if (text.contains(QLatin1String("fingerprint")))
            showNotice(text, true);
    });
    connect(server, &ServerClient::untrustedCertificate, this, &MainWindow::askToTrust);
    connect(server, &ServerClient::loggedIn, this, [this](const QJsonObject &account) {
        refreshStatus();
        if (cfg::accountRemember() && options.user.isEmpty()) {
            cfg::set(QString::fromLatin1(cfg::keys::accountToken.name),
                     account.value(QStringLiteral("token")).toString());
            cfg::set(QString::fromLatin1(cfg::keys::accountName.name),
                     account.value(QStringLiteral("name")).toString());
        }
    });
    connect(server, &ServerClient::resumeFailed, this, [this] {
        cfg::set(QString::fromLatin1(cfg::keys::accountToken.name), QString());
        showNotice(tr("Your saved sign-in expired: sign in again on the Play page."), false);
    });
    connect(server, &ServerClient::kicked, this, [this](const QString &text) {
        showNotice(text + tr(" Press CONNECT AGAIN on the Play page to sign in here again."), true);
    });
    connect(server, &ServerClient::message, this, &MainWindow::onServerMessage);
}

void MainWindow::connectToServer()
{
    lastError.clear();
    server->connectTo(cfg::serverAddress(), cfg::serverFingerprint());
}

void MainWindow::onServerMessage(const QJsonObject &msg)
{
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("welcome")) {
        const QString motd = msg.value(QStringLiteral("motd")).toString();
        if (!motd.isEmpty())
            showNotice(motd, false);
        server->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("online")}});
    } else if (type == QLatin1String("notice")) {
        showNotice(msg.value(QStringLiteral("text")).toString(),
                   msg.value(QStringLiteral("level")).toString() == QLatin1String("warn"));
    }
}

void MainWindow::askToTrust(const QString &fingerprint)
{
    const QString title = tr("Trust this server?");
    const QString text =
        tr("The server at %1 presented a certificate with SHA-256 fingerprint\n\n%2\n\nTrust it only if "
           "this is the fingerprint the server's operator published.")
            .arg(cfg::serverAddress(), formatFingerprint(fingerprint));
    const auto answer = showMessageBox(this, QMessageBox::Question, title, text,
                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    cfg::set(QString::fromLatin1(cfg::keys::serverFingerprint.name), normalizeFingerprint(fingerprint));
    connectToServer();
}

void MainWindow::refreshStatus()
{
    const StatusLine line =
        WindowController::statusLine(server->state(), cfg::serverAddress(), server->accountName(), lastError);
    setStatus(line.colour, line.text);
}

void MainWindow::startPortMapper()
{
    upnp = new UpnpMapper(this);
    const QString location = cfg::devUpnpLocation();
    if (!location.isEmpty())
        upnp->setDeviceUrl(QUrl(location));
    if (options.upnpProbe)
        upnp->mapPort(quint16(cfg::gamePort()), true);
    else if (cfg::upnp() && !cfg::devUdpLoopback())
        upnp->mapPort(quint16(cfg::gamePort()), false);
}
