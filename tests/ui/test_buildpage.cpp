// The Build game page driving the real build pipeline: a whole build of the demo release typed
// and picked as a player would, a second run over the extracted disc, the title update prompt,
// Cancel during an extraction held by a pipe and during a compile that blocks.
#include "build/buildsummary.h"
#include "buildtestkit.h"
#include "core/cfg.h"
#include "core/logview.h"
#include "launcherproc.h"
#include "testutil.h"
#include "ui/buildpage.h"
#include "widgetfind.h"
#include "x360/disc.h"
#include "x360/writer/discwriter.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testutil::buttonNamed;
using testutil::labelNamed;
using testutil::LauncherProcess;

namespace {

QString logText(QWidget *page)
{
    return page->findChild<LogView *>()->toPlainText();
}

// Once a modal widget of type T named `name` is up, `act` works on it (from inside its loop).
template <typename T> void whenModal(const QString &name, std::function<void(T *)> act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, name, act] {
        auto *w = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!w || w->objectName() != name)
            return;
        poll->deleteLater();
        act(w);
    });
    poll->start(10);
}

void pickInDialog(const QString &name, const QStringList &files)
{
    whenModal<QFileDialog>(name, [files](QFileDialog *dialog) {
        QStringList quoted;
        for (const QString &f : files)
            quoted << QLatin1Char('"') + f + QLatin1Char('"');
        dialog->setDirectory(QFileInfo(files.first()).absolutePath());
        dialog->selectFile(files.size() == 1 ? files.first() : quoted.join(QLatin1Char(' ')));
        static_cast<QDialog *>(dialog)->accept();
    });
}

// The demo game's build script and project version, as scripts/demo-game.sh puts them in place.
void installDemoScript(const BuildTestEnv &env)
{
    const QDir source(
        QDir(qEnvironmentVariable("ORX_SOURCE_DIR")).filePath(QStringLiteral("resources/demo-game")));
    writeScript(QDir(env.gameFolder()).filePath(QStringLiteral("build-game.sh")),
                readFile(source.filePath(QStringLiteral("build-game.sh"))));
    writeFile(QDir(env.gameFolder()).filePath(QStringLiteral("project/VERSION")),
              readFile(source.filePath(QStringLiteral("project/VERSION"))));
}

bool waitIdle(BuildPage &page, int ms = 120000)
{
    return testutil::waitFor([&] { return !page.isBusy(); }, ms);
}

} // namespace

class TestBuildPage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { demoGame(); }

    void extractFromTheCommandLine()
    {
        // orx-launcher --extract IMAGE opens on the Build game page and builds from that image.
        BuildTestEnv env;
        installDemoScript(env);
        cfg::set(cfg::gameKey(cfg::keys::gameUpdatePackage, QStringLiteral("orx")), demoUpdate());
        const QString config = env.path(QStringLiteral("data/orx-launcher.ini"));
        cfg::resetForTesting(); // the settings file is the launcher's from here
        LauncherProcess launcher(config);
        launcher.env().insert(
            QStringLiteral("ORX_TESTGAME"),
            QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath(QStringLiteral("orx-testgame")));
        launcher.start({QStringLiteral("--extract"), demoImage()});
        QVERIFY2(launcher.waitForLogStartingWith(QStringLiteral("build orx: files in place ("), 60000),
                 qPrintable(launcher.logLines().join('\n')));
        QVERIFY2(launcher.waitForLogStartingWith(QStringLiteral("build orx: build script exited with code 0"),
                                                 120000),
                 qPrintable(launcher.logLines().join('\n')));
        QVERIFY(QFileInfo::exists(QDir(env.gameFolder()).filePath(QStringLiteral("disc/default.xex"))));
        QCOMPARE(launcher.terminate(), 0);
    }

    void wholeBuildOfTheDemoRelease()
    {
        BuildTestEnv env;
        installDemoScript(env);
        qputenv("ORX_TESTGAME",
                QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath("orx-testgame").toLocal8Bit());
        BuildPage page;
        page.setGame(QStringLiteral("orx"));
        page.resize(1100, 800);
        page.show();
        QCOMPARE(
            labelNamed(&page, "Disc")->text(),
            QStringLiteral("Disc: not extracted yet (%1)").arg(QDir::toNativeSeparators(env.folders().disc)));
        QCOMPARE(labelNamed(&page, "DlcLabel")->text(), QStringLiteral("none"));
        QCOMPARE(
            labelNamed(&page, "StepTwo")->text(),
            QStringLiteral("2. Title update 3: the file %1").arg(updatePackageText(QStringLiteral("orx"))));

        auto *image = page.findChild<QLineEdit *>(QStringLiteral("ImageField"));
        image->setFocus();
        QTest::keyClicks(image, demoImage());
        pickInDialog(QStringLiteral("UpdatePicker"), {demoUpdate()});
        page.findChild<QPushButton *>(QStringLiteral("UpdateFieldBrowse"))->click();
        QCOMPARE(page.findChild<QLineEdit *>(QStringLiteral("UpdateField"))->text(),
                 QDir::toNativeSeparators(demoUpdate()));
        QCOMPARE(cfg::gameUpdatePackage(QStringLiteral("orx")), QDir::toNativeSeparators(demoUpdate()));
        for (int i = 0; i < 2; ++i) { // a package already listed is not added again
            pickInDialog(QStringLiteral("DlcPicker"), {demoDlc()});
            buttonNamed(&page, QStringLiteral("Add..."))->click();
        }
        QCOMPARE(page.dlcPackages(), QStringList{QDir::toNativeSeparators(demoDlc())});
        QCOMPARE(labelNamed(&page, "DlcLabel")->text(), QStringLiteral("1 package(s)"));
        QCOMPARE(labelNamed(&page, "DlcLabel")->toolTip(), QFileInfo(demoDlc()).fileName());
        QCOMPARE(cfg::gameDlc(QStringLiteral("orx")), page.dlcPackages());

        // What the bar shows at each report (the page's own handler has run by then).
        QStringList shown;
        auto *bar = page.findChild<QProgressBar *>();
        connect(page.pipeline(), &BuildPipeline::progressChanged, &page, [&] { shown << bar->format(); });
        QSignalSpy busy(&page, &BuildPage::busyChanged);
        buttonNamed(&page, QStringLiteral("CHECK AND BUILD"))->click();
        QTRY_VERIFY(!busy.isEmpty());
        QCOMPARE(busy.first().first().toBool(), true);
        // Inputs off while busy, Cancel on.
        QVERIFY(!image->isEnabled());
        QVERIFY(!buttonNamed(&page, QStringLiteral("CHECK AND BUILD"))->isEnabled());
        QVERIFY(!buttonNamed(&page, QStringLiteral("Add..."))->isEnabled());
        QVERIFY(buttonNamed(&page, QStringLiteral("Cancel"))->isEnabled());
        QVERIFY(waitIdle(page));
        QCOMPARE(busy.last().first().toBool(), false);
        QVERIFY(image->isEnabled());
        QVERIFY(!buttonNamed(&page, QStringLiteral("Cancel"))->isEnabled());

        const QString log = logText(&page);
        QVERIFY2(std::any_of(shown.cbegin(), shown.cend(),
                             [](const QString &f) { return f.startsWith(QStringLiteral("Extracted  -  ")); }),
                 qPrintable(shown.join(QLatin1Char('|'))));
        shown.clear();
        QVERIFY2(log.contains(QStringLiteral("The game is built: Single player, or search for a match.")),
                 qPrintable(log));
        QVERIFY(log.contains(QStringLiteral("Demo build of the game in"))); // the script's own output
        QCOMPARE(labelNamed(&page, "Disc")->text(),
                 QStringLiteral("Disc: extracted in %1").arg(QDir::toNativeSeparators(env.folders().disc)));
        QCOMPARE(labelNamed(&page, "TitleUpdate")->text(),
                 QStringLiteral("Title update: title update 3 in place"));
        QCOMPARE(labelNamed(&page, "Dlc")->text(), QStringLiteral("Downloadable content: 1 package(s)"));
        QCOMPARE(
            labelNamed(&page, "Exe")->text(),
            QStringLiteral("Game: %1").arg(QDir::toNativeSeparators(cfg::gameExe(QStringLiteral("orx")))));
        QVERIFY(labelNamed(&page, "Alert")->isHidden());
        QCOMPARE(bar->value(), bar->maximum());

        // Again with an empty disc field: the extracted disc is used, the update is in place.
        image->clear();
        buttonNamed(&page, QStringLiteral("CHECK AND BUILD"))->click();
        QTRY_VERIFY(page.isBusy() || logText(&page).size() > log.size());
        QVERIFY(waitIdle(page));
        const QString second = logText(&page).mid(log.size());
        QVERIFY2(second.contains(QStringLiteral("already extracted")), qPrintable(second));
        QVERIFY2(shown.contains(QStringLiteral("In place")), qPrintable(shown.join(QLatin1Char('|'))));
        QVERIFY(second.contains(QStringLiteral("The game is built")));

        // Clear with an empty list still stores it.
        buttonNamed(&page, QStringLiteral("Clear"))->click();
        buttonNamed(&page, QStringLiteral("Clear"))->click();
        QCOMPARE(labelNamed(&page, "DlcLabel")->text(), QStringLiteral("none"));
        QVERIFY(cfg::contains(cfg::gameKey(cfg::keys::gameDlc, QStringLiteral("orx"))));
        QVERIFY(cfg::gameDlc(QStringLiteral("orx")).isEmpty());
    }

    void titleUpdatePrompt()
    {
        BuildTestEnv env;
        installDemoScript(env);
        BuildPage page;
        page.setGame(QStringLiteral("orx"));
        page.show();
        page.findChild<QLineEdit *>(QStringLiteral("ImageField"))->setText(demoImage());
        page.findChild<QLineEdit *>(QStringLiteral("UpdateField"))->setText(demoOlderUpdate());
        // The prompt comes; its button opens the picker; the file chosen builds at once.
        QString title;
        whenModal<QMessageBox>(QStringLiteral("TitleUpdatePrompt"), [&title](QMessageBox *box) {
            title = box->windowTitle();
            pickInDialog(QStringLiteral("UpdatePicker"), {demoUpdate()});
            QVERIFY(box->defaultButton());
            QCOMPARE(box->defaultButton()->text(), QStringLiteral("Choose title update 3 now"));
            box->defaultButton()->click();
        });
        QSignalSpy busy(&page, &BuildPage::busyChanged);
        buttonNamed(&page, QStringLiteral("CHECK AND BUILD"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(busy.count() >= 3, 60000); // the refused check, then the new build
        QVERIFY(waitIdle(page));
        QCOMPARE(title, QStringLiteral("Orvex Rovivi needs title update 3"));
        QCOMPARE(page.findChild<QLineEdit *>(QStringLiteral("UpdateField"))->text(),
                 QDir::toNativeSeparators(demoUpdate()));
        QVERIFY(logText(&page).contains(QStringLiteral("Extracting the disc into")));

        // A wrong update in place: Alert shown; the prompt's "Not now" leaves it.
        writeFile(QDir(env.folders().disc).filePath("default.xexp"), "not the patch");
        page.hide();
        page.show();
        // The changed file is hashed on a worker thread; the summary follows.
        QTRY_VERIFY_WITH_TIMEOUT(!labelNamed(&page, "Alert")->isHidden(), 20000);
        QVERIFY(labelNamed(&page, "Alert")
                    ->text()
                    .contains(QStringLiteral("Orvex Rovivi now needs title update 3")));
        QCOMPARE(labelNamed(&page, "TitleUpdate")->text(),
                 QStringLiteral("Title update: not title update 3 (choose it in step 2)"));
        bool asked = false;
        whenModal<QMessageBox>(QStringLiteral("TitleUpdatePrompt"), [&asked](QMessageBox *box) {
            asked = true;
            for (QAbstractButton *b : box->buttons())
                if (b->text() == QLatin1String("Not now"))
                    b->click();
        });
        buttonNamed(&page, QStringLiteral("Compile the game's code"))->click();
        QVERIFY(asked);
        QVERIFY(!page.isBusy());
        QVERIFY(!labelNamed(&page, "Alert")->isHidden());
    }

    void cancelDuringExtraction()
    {
        BuildTestEnv env;
        QString error;
        const HeldImage held = writeHeldImage(env, &error);
        QVERIFY2(!held.image.isEmpty(), qPrintable(error));
        const QString imagePath = held.image, part = held.part;

        BuildPage page;
        page.setGame(QStringLiteral("orx"));
        page.show();
        page.pipeline()->setFreeSpaceQuery([](const QString &) { return 100LL << 30; });
        page.findChild<QLineEdit *>(QStringLiteral("ImageField"))->setText(imagePath);
        page.findChild<QLineEdit *>(QStringLiteral("UpdateField"))->setText(demoUpdate());
        buttonNamed(&page, QStringLiteral("CHECK AND BUILD"))->click();
        auto *bar = page.findChild<QProgressBar *>();
        QTRY_VERIFY_WITH_TIMEOUT(bar->format().contains(QStringLiteral("2 of 3 files")), deadline(30000));
        QVERIFY(bar->value() > 0 && bar->value() < bar->maximum());
        // Busy: a new game is not taken.
        page.setGame(QStringLiteral("other"));
        QCOMPARE(page.gameId(), QStringLiteral("orx"));
        buttonNamed(&page, QStringLiteral("Cancel"))->click();
        const int reader = ::open(QFile::encodeName(part).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QVERIFY(waitIdle(page, 30000));
        ::close(reader);
        QVERIFY(logText(&page).trimmed().endsWith(QStringLiteral("Stopped: Cancelled.")));
    }

    void cancelBlockingCompile()
    {
        BuildTestEnv env;
        const QString script = QDir(env.gameFolder()).filePath(QStringLiteral("build-game.sh"));
        writeScript(script, "echo started\nsleep 300 &\nwait\n");
        // The disc and update as a build leaves them, so the compile is not refused.
        BuildPage page;
        page.setGame(QStringLiteral("orx"));
        page.show();
        page.findChild<QLineEdit *>(QStringLiteral("ImageField"))->setText(demoImage());
        page.findChild<QLineEdit *>(QStringLiteral("UpdateField"))->setText(demoUpdate());
        buttonNamed(&page, QStringLiteral("CHECK AND BUILD"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(logText(&page).contains(QStringLiteral("started")), deadline(60000));
        QVERIFY(page.isBusy());
        buttonNamed(&page, QStringLiteral("Cancel"))->click();
        QVERIFY(waitIdle(page, 30000));
        QVERIFY(logText(&page).trimmed().endsWith(QStringLiteral("Cancelled.")));
        QVERIFY(!QFileInfo::exists(cfg::gameExe(QStringLiteral("orx"))));

        // The compile alone, started by its button, cancels the same way.
        buttonNamed(&page, QStringLiteral("Compile the game's code"))->click();
        QVERIFY(page.isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(logText(&page).count(QStringLiteral("started")) == 2, deadline(20000));
        buttonNamed(&page, QStringLiteral("Cancel"))->click();
        QVERIFY(waitIdle(page, 30000));
        QVERIFY(logText(&page).trimmed().endsWith(QStringLiteral("Cancelled.")));
    }
};

QTEST_MAIN(TestBuildPage)
#include "test_buildpage.moc"
