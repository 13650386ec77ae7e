// The update dialog: its model as tables (every state, every explanation, what each button does,
// which pages may open), then the real dialog offscreen to see the model reach the widgets.
#include "core/cfg.h"
#include "ui/theme.h"
#include "ui/updatedialog.h"
#include "ui/updatedialogmodel.h"
#include "widgetfind.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Action = UpdateDialogModel::Action;
using State = UpdateDialogModel::State;

const QString kHow =
    QStringLiteral("The launcher downloads it, checks it, puts it in place and starts again. "
                   "Your settings, saves and built games stay.");
const QString kSource = QStringLiteral("A source build updates with git, not here.");
const QString kCancelled = QStringLiteral("Cancelled: nothing was changed.");

QJsonObject offer(const QString &version = QStringLiteral("0.1.9"), const QString &build = QString())
{
    return QJsonObject{{"version", version},
                       {"build", build},
                       {"size", 1000},
                       {"sha256", QString(64, QLatin1Char('a'))},
                       {"url", "https://example.org/orx.zip"}};
}

// Runs one step of a script on the model and returns the action as a letter (- none, U update
// now, O open page, C cancel, X close) or nothing for the feeds.
QString step(UpdateDialogModel &m, const QString &s)
{
    static const char letters[] = {'-', 'U', 'O', 'C', 'X'};
    if (s == QLatin1String("primary"))
        return QString(QLatin1Char(letters[int(m.primaryClicked())]));
    if (s == QLatin1String("second"))
        return QString(QLatin1Char(letters[int(m.secondClicked())]));
    if (s == QLatin1String("close"))
        return QString(QLatin1Char(letters[int(m.closed())]));
    const QString arg = s.section(QLatin1Char(':'), 1);
    if (s.startsWith(QLatin1String("progress:")))
        m.showProgress(arg.section(QLatin1Char('@'), 0, 0), arg.section(QLatin1Char('@'), 1).toInt());
    else if (s.startsWith(QLatin1String("fail:")))
        m.showFailure(arg);
    else if (s.startsWith(QLatin1String("wait:")))
        m.showWaiting(arg);
    return QString();
}

QString barText(const UpdateDialogModel &m)
{
    if (!m.barVisible())
        return QStringLiteral("hidden");
    return m.barBusy() ? QStringLiteral("busy") : QString::number(m.barValue());
}

} // namespace

class TestUpdateDialog : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        applyTheme(*qApp);
    }

    void explanation_data()
    {
        QTest::addColumn<QJsonObject>("offer");
        QTest::addColumn<bool>("required");
        QTest::addColumn<bool>("testBuild");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("explanation");

        QTest::newRow("newer, not required")
            << offer() << false << false << "UPDATE AVAILABLE"
            << "You have 0.1.8. Players on another version cannot play you: update to play with everyone.";
        QTest::newRow("newer, required") << offer() << true << false << "UPDATE NEEDED"
                                         << "You have 0.1.8. The server needs this version to play online.";
        QTest::newRow("test build")
            << offer("0.1.8", "2026-12-01") << false << true << "UPDATE AVAILABLE"
            << "You have a test build of 0.1.8 (packaged 2026-11-20). Everyone else plays the release of "
               "0.1.8 (packaged 2026-12-01), whose game differs from yours: update to play with them.";
        // Being a test build says more than being required.
        QTest::newRow("test build, required")
            << offer("0.1.8", "2026-12-01") << true << true << "UPDATE NEEDED"
            << "You have a test build of 0.1.8 (packaged 2026-11-20). Everyone else plays the release of "
               "0.1.8 (packaged 2026-12-01), whose game differs from yours: update to play with them.";
    }
    void explanation()
    {
        QFETCH(QJsonObject, offer);
        QFETCH(bool, required);
        QFETCH(bool, testBuild);
        const UpdateDialogModel m(offer, required, QString(), testBuild, QStringLiteral("2026-11-20"));
        QTEST(m.heading(), "heading");
        QTEST(m.explanation(), "explanation");
        const QString version = offer.value("version").toString();
        QCOMPARE(m.versionText(), "Orvex Rovivi " + version);
        QCOMPARE(m.windowTitle(), "Orvex Rovivi " + version);
    }

    // Each row runs a script of clicks and updater feeds and checks every visible part afterwards.
    void states_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("primary");
        QTest::addColumn<bool>("primaryEnabled");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("bar");

        const QString none;
        QTest::newRow("idle") << none << QStringList() << "" << int(State::Idle) << kHow << "UPDATE NOW"
                              << true << "LATER"
                              << "hidden";
        QTest::newRow("working, no fraction yet")
            << none << QStringList{"primary", "progress:Unpacking 0.1.9...@-1"} << "U" << int(State::Working)
            << "Unpacking 0.1.9..."
            << "UPDATE NOW" << false << "CANCEL"
            << "busy";
        QTest::newRow("working, downloading")
            << none << QStringList{"primary", "progress:Downloading 0.1.9: 3 of 8 MB@37"} << "U"
            << int(State::Working) << "Downloading 0.1.9: 3 of 8 MB"
            << "UPDATE NOW" << false << "CANCEL"
            << "37";
        QTest::newRow("busy bar turns into a fraction")
            << none << QStringList{"primary", "progress:a@-1", "progress:b@100"} << "U" << int(State::Working)
            << "b"
            << "UPDATE NOW" << false << "CANCEL"
            << "100";
        QTest::newRow("waiting for the game")
            << none
            << QStringList{"primary", "progress:0.1.9 is ready to install.@100",
                           "wait:Downloaded. It goes in once you close the game."}
            << "U" << int(State::Waiting) << "Downloaded. It goes in once you close the game."
            << "UPDATE NOW" << false << "CANCEL"
            << "100";
        QTest::newRow("failed") << none
                                << QStringList{"primary", "progress:x@12",
                                               "fail:The download failed: Connection refused"}
                                << "U" << int(State::Failed) << "The download failed: Connection refused"
                                << "TRY AGAIN" << true << "LATER"
                                << "hidden";
        QTest::newRow("try again works as update now")
            << none << QStringList{"primary", "fail:no", "primary"} << "UU" << int(State::Working) << "no"
            << "TRY AGAIN" << false << "CANCEL"
            << "0";
        QTest::newRow("later after a failure closes")
            << none << QStringList{"primary", "fail:no", "second"} << "UX" << int(State::Failed) << "no"
            << "TRY AGAIN" << true << "LATER"
            << "hidden";
        QTest::newRow("cancelled") << none << QStringList{"primary", "progress:x@50", "second"} << "UC"
                                   << int(State::Cancelled) << kCancelled << "UPDATE NOW" << true << "LATER"
                                   << "hidden";
        QTest::newRow("cancelled while waiting")
            << none << QStringList{"primary", "wait:w", "second"} << "UC" << int(State::Cancelled)
            << kCancelled << "UPDATE NOW" << true << "LATER"
            << "hidden";
        QTest::newRow("later when idle closes") << none << QStringList{"second"} << "X" << int(State::Idle)
                                                << kHow << "UPDATE NOW" << true << "LATER"
                                                << "hidden";
        QTest::newRow("closing while working cancels")
            << none << QStringList{"primary", "progress:x@5", "close"} << "UX" << int(State::Cancelled)
            << kCancelled << "UPDATE NOW" << true << "LATER"
            << "hidden";
        QTest::newRow("closing when idle only closes")
            << none << QStringList{"close"} << "X" << int(State::Idle) << kHow << "UPDATE NOW" << true
            << "LATER"
            << "hidden";
        QTest::newRow("a disabled primary does nothing")
            << none << QStringList{"primary", "primary"} << "U-" << int(State::Working) << kHow
            << "UPDATE NOW" << false << "CANCEL"
            << "0";
        QTest::newRow("progress of an update already running")
            << none << QStringList{"progress:Downloading 0.1.9...@0"} << "" << int(State::Working)
            << "Downloading 0.1.9..."
            << "UPDATE NOW" << false << "CANCEL"
            << "0";
        QTest::newRow("source build") << kSource << QStringList() << "" << int(State::Idle) << kSource
                                      << "OPEN THE DOWNLOAD PAGE" << true << "LATER"
                                      << "hidden";
        QTest::newRow("source build opens the page")
            << kSource << QStringList{"primary", "primary"} << "OO" << int(State::Idle) << kSource
            << "OPEN THE DOWNLOAD PAGE" << true << "LATER"
            << "hidden";
    }
    void states()
    {
        QFETCH(QString, reason);
        QFETCH(QStringList, script);
        QJsonObject o = offer();
        o.insert("page", "https://example.org/0.1.9");
        UpdateDialogModel m(o, false, reason, false, QString());
        QString actions;
        for (const QString &s : script)
            actions += step(m, s);
        QTEST(actions, "actions");
        QTEST(int(m.state()), "state");
        QTEST(m.status(), "status");
        QTEST(m.primaryText(), "primary");
        QTEST(m.primaryEnabled(), "primaryEnabled");
        QTEST(m.secondText(), "second");
        QTEST(barText(m), "bar");
        QCOMPARE(m.working(), m.state() == State::Working || m.state() == State::Waiting);
    }

    void pages_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("link"); // the rich text, empty for none
        QTest::addColumn<bool>("opens");   // OPEN THE DOWNLOAD PAGE hands it to the desktop

        const QString a = QStringLiteral("<a href=\"%1\" style=\"color:#F2C14E\">What's new in 0.1.9</a>");
        QTest::newRow("https") << "https://example.org/news" << a.arg("https://example.org/news") << true;
        QTest::newRow("https with markup")
            << "https://example.org/\"><img src=x onerror=1>&q=<b>"
            << a.arg("https://example.org/&quot;&gt;&lt;img src=x onerror=1&gt;&amp;q=&lt;b&gt;") << false;
        QTest::newRow("https with a query")
            << "https://example.org/n?a=1&b=2" << a.arg("https://example.org/n?a=1&amp;b=2") << true;
        QTest::newRow("plain http: no link, but opens") << "http://example.org/news"
                                                        << "" << true;
        QTest::newRow("capital scheme: no link") << "HTTPS://example.org/news"
                                                 << "" << true;
        QTest::newRow("empty") << ""
                               << "" << false;
        QTest::newRow("file") << "file:///C:/Windows/System32/calc.exe"
                              << "" << false;
        QTest::newRow("unc") << "\\\\evil.example\\share\\setup.exe"
                             << "" << false;
        QTest::newRow("unc as a url") << "//evil.example/share/setup.exe"
                                      << "" << false;
        QTest::newRow("javascript") << "javascript:alert(1)"
                                    << "" << false;
        QTest::newRow("ms-settings") << "ms-settings:windowsdefender"
                                     << "" << false;
        QTest::newRow("search-ms") << "search-ms:query=x&crumb=location:\\\\evil\\s"
                                   << "" << false;
        // Shown as the server wrote it, but never handed to the desktop.
        QTest::newRow("https without a host")
            << "https:///etc/passwd" << a.arg("https:///etc/passwd") << false;
        QTest::newRow("smb") << "smb://evil.example/share"
                             << "" << false;
        QTest::newRow("leading space") << " https://example.org/"
                                       << "" << false;
    }
    void pages()
    {
        QFETCH(QString, page);
        QJsonObject o = offer();
        o.insert("page", page);
        UpdateDialogModel m(o, false, kSource, false, QString());
        QTEST(m.linkHtml(), "link");
        QFETCH(bool, opens);
        QCOMPARE(m.page(), opens ? page : QString());
        QCOMPARE(m.primaryClicked(), opens ? Action::OpenPage : Action::None);
    }

    // The real dialog carries the model to its widgets and its signals.
    void dialogWidgets()
    {
        QJsonObject o = offer();
        o.insert("notes", "<i>plain</i> words");
        o.insert("page", "http://example.org/news"); // not https: no link
        UpdateDialog d(o, true, QString());
        d.show();
        QVERIFY(!d.isModal());
        QCOMPARE(d.minimumWidth(), 560);
        QCOMPARE(d.windowTitle(), QStringLiteral("Orvex Rovivi 0.1.9"));
        QCOMPARE(d.findChild<QLabel *>("CardTitle")->text(), QStringLiteral("UPDATE NEEDED"));
        QCOMPARE(d.findChild<QLabel *>("UpdateNotes")->text(), QStringLiteral("<i>plain</i> words"));
        QCOMPARE(d.findChild<QLabel *>("UpdateNotes")->textFormat(), Qt::PlainText);
        QVERIFY(!d.findChild<QLabel *>("UpdateLink"));
        QVERIFY(d.primaryButton()->isDefault());
        auto *bar = d.findChild<QProgressBar *>();
        QVERIFY(!bar->isVisible());

        QSignalSpy now(&d, &UpdateDialog::updateNow), cancel(&d, &UpdateDialog::cancelRequested),
            rejected(&d, &QDialog::rejected);
        d.primaryButton()->click();
        QCOMPARE(now.size(), 1);
        d.showProgress(QStringLiteral("Unpacking 0.1.9..."), -1);
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->maximum(), 0); // a moving busy bar
        d.showProgress(QStringLiteral("Downloading"), 40);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 40);
        d.secondButton()->click();
        QCOMPARE(cancel.size(), 1);
        QCOMPARE(rejected.size(), 0);
        QVERIFY(d.isVisible());
        QCOMPARE(d.findChild<QLabel *>("Muted")->text(), kCancelled);

        // Closing the window while working: rejected, so the main window cancels.
        d.primaryButton()->click();
        QCOMPARE(now.size(), 2);
        d.close();
        QCOMPARE(rejected.size(), 1);
        QVERIFY(!d.isVisible());
        QCOMPARE(d.model().state(), State::Cancelled);
    }
};

QTEST_MAIN(TestUpdateDialog)
#include "test_updatedialog.moc"
