#include "startup.h"

#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "core/version.h"
#include "gamedata/registry.h"
#include "instanceguard.h"
#include "launchoptions.h"
#include "platform/platform.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QSslSocket>
#include <cstdio>
#include <memory>

namespace {
// A start-up remark for whoever started the launcher from a terminal or a script.
void printStartupNote(const QString &text)
{
    const QByteArray line = QStringLiteral("orx-launcher: %1\n").arg(text).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
} // namespace

int runLauncher(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ORX Rovivi"));
    QApplication::setOrganizationName(QStringLiteral("ORX"));
    QApplication::setApplicationVersion(QString::fromLatin1(kLauncherVersion));
    // A polite end request (SIGTERM, Ctrl+C) closes the windows, so the run ends as a normal close
    // does, without the closing question: nobody may be there to answer it. It is handled once the
    // event loop runs; a request made earlier waits for it.
    platform::onTerminationRequest([] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *main = qobject_cast<MainWindow *>(w))
                main->closeForTermination();
        }
        QApplication::closeAllWindows();
    });

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Orvex Rovivi launcher"));
    parser.addHelpOption();
    parser.addVersionOption();
    addLaunchOptions(parser);
    parser.process(app);

    cfg::init(configOption(parser));
    platform::setBackgroundMode(cfg::devBackground());
    appendLog(QStringLiteral("launcher %1 starting, settings %2")
                  .arg(QApplication::applicationVersion(), cfg::settingsPath()));
    const QStringList removed = cfg::migrate();
    if (!removed.isEmpty())
        appendLog(QStringLiteral("settings: took out what this version no longer uses: %1")
                      .arg(removed.join(QStringLiteral(", "))));

    const QString title = QStringLiteral("Orvex Rovivi");
    InstanceGuard guard(cfg::settingsPath());
    const bool updated = parser.isSet(QStringLiteral("updated"));
    switch (guard.acquire(updated ? 30000 : 200)) {
    case InstanceGuard::Outcome::Taken:
        break;
    case InstanceGuard::Outcome::HeldElsewhere:
        showMessageBox(
            nullptr, QMessageBox::Information, title,
            QCoreApplication::translate("main", "Orvex Rovivi is already running with these settings."));
        return 0;
    case InstanceGuard::Outcome::FolderNotWritable:
        // A read-only settings folder (say another user's --config) still gives a normal run: the
        // log lines and changed settings are lost, and nothing stops a second launcher.
        printStartupNote(QCoreApplication::translate(
                             "main", "The folder %1 cannot be written, so this launcher runs without a log "
                                     "file, does not check for another launcher with these settings, and "
                                     "cannot save changed settings.")
                             .arg(QDir::toNativeSeparators(cfg::dataDir())));
        break;
    case InstanceGuard::Outcome::Failed:
        printStartupNote(QCoreApplication::translate(
                             "main", "The lock file %1 could not be created, so this launcher does not check "
                                     "for another launcher with these settings.")
                             .arg(QDir::toNativeSeparators(guard.lockPath())));
        break;
    }

    QString error;
    if (!GameRegistry::load(&error)) {
        showMessageBox(nullptr, QMessageBox::Critical, title, error);
        return 1;
    }

    if (QSslSocket::availableBackends().contains(QStringLiteral("schannel")))
        QSslSocket::setActiveBackend(QStringLiteral("schannel"));
    appendLog(QStringLiteral("tls backend %1, %2")
                  .arg(QSslSocket::activeBackend(), QSslSocket::sslLibraryVersionString()));

    applyTheme(app);
    const LaunchOptions options = readLaunchOptions(parser);

    auto window = std::make_unique<MainWindow>(options);
    window->show();
    const int code = app.exec();
    appendLog(QStringLiteral("launcher exiting (%1)").arg(code));
    window.reset();
    platform::killJob(platform::launcherJob());
    return code;
}
