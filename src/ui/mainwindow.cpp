#include "mainwindow.h"

#include "core/cfg.h"
#include "core/log.h"
#include "dev/testdriver.h"
#include "elidedlabel.h"
#include "match/matchcontroller.h"
#include "net/fingerprint.h"
#include "net/serverclient.h"
#include "page.h"
#include "platform/platform.h"
#include "playpage.h"
#include "supportpage.h"
#include "theme.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {
const char *const kStatusNeutral = "#5F6674";
}

const QStringList &MainWindow::pageNames()
{
    static const QStringList names{QStringLiteral("play"), QStringLiteral("build"),
                                   QStringLiteral("settings"), QStringLiteral("support")};
    return names;
}

MainWindow::MainWindow(const LaunchOptions &opts, QWidget *parent)
    : QMainWindow(parent), options(opts), controller(opts)
{
    server = new ServerClient(this);
    match = new MatchController(server, this);
    bannerTimer = new QTimer(this);
    bannerTimer->setSingleShot(true);

    setWindowTitle(QStringLiteral("Orvex Rovivi"));
    setWindowIcon(appIcon());
    platform::useDarkTitleBar(this);
    setMinimumSize(1000, 700);
    resize(1180, 820);

    if (!options.server.isEmpty())
        cfg::set(QString::fromLatin1(cfg::keys::serverAddress.name), options.server);
    if (!options.fingerprint.isEmpty())
        cfg::set(QString::fromLatin1(cfg::keys::serverFingerprint.name),
                 normalizeFingerprint(options.fingerprint));

    auto *root = new QWidget(this);
    root->setObjectName(QStringLiteral("Root"));
    auto *layout = new QVBoxLayout(root);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(buildNavBar());
    banner = new QLabel(root);
    banner->setObjectName(QStringLiteral("Banner"));
    banner->setWordWrap(true);
    banner->hide();
    layout->addWidget(banner);
    stack = new QStackedWidget(root);
    layout->addWidget(stack, 1);
    layout->addWidget(buildFooter());
    setCentralWidget(root);

    play = new PlayPage(server, match, stack);
    setWindowTitle(QStringLiteral("Orvex Rovivi - Ironmere IV"));
    startPortMapper();
    createPages();
    wireServer();
    wirePlay();
    wireMatch();
    wireParts();
    wireUpdate();

    QTimer::singleShot(1500, this, [this] { checkRelease(); });
    connect(bannerTimer, &QTimer::timeout, banner, &QWidget::hide);

    if (!options.game.isEmpty() && options.game != QLatin1String("orx"))
        appendLog(QStringLiteral("cli: --game %1 is not a game here; %2 is the only one")
                      .arg(options.game, QStringLiteral("orx")));

    const QString wanted = options.page.isEmpty() ? cfg::uiPage() : options.page;
    int first = qMax(0, pageNames().indexOf(wanted));
    if (!options.extractImage.isEmpty())
        first = 1;
    showPage(first);

    if (!options.snapDir.isEmpty() && !options.page.isEmpty()) {
        QTimer::singleShot(2500, this,
                           [this] { saveSnapshot(QStringLiteral("page-") + pageNames().at(currentPage())); });
    }
    driver = new TestDriver(options, server, match, bridge, this);
    server->setToken(options.user.isEmpty() ? cfg::accountToken() : QString());
    refreshStatus();
    refreshBuildNotice();
    if (cfg::serverAutoConnect() || !options.server.isEmpty())
        QTimer::singleShot(0, this, &MainWindow::connectToServer);
    smartAppControlCheck();
}

QWidget *MainWindow::buildHeader()
{
    auto *header = new QWidget;
    header->setObjectName(QStringLiteral("Header"));
    header->setAttribute(Qt::WA_StyledBackground);
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(24, 12, 24, 12);
    row->setSpacing(16);
    auto *emblem = new QLabel(header);
    emblem->setObjectName(QStringLiteral("Emblem"));
    emblem->setPixmap(logoPixmap(72));
    row->addWidget(emblem);
    auto *column = new QVBoxLayout;
    column->setSpacing(0);
    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(12);
    auto *main = new QLabel(QStringLiteral("Orvex"), header);
    main->setObjectName(QStringLiteral("TitleMain"));
    auto *sub = new QLabel(QStringLiteral("ONLINE"), header);
    sub->setObjectName(QStringLiteral("TitleSub"));
    titleRow->addWidget(main);
    titleRow->addWidget(sub);
    titleRow->addStretch();
    column->addLayout(titleRow);
    auto *tagline = new QLabel(
        QStringLiteral("IRONMERE IV ON PC  \u00B7  ROLLBACK NETPLAY  \u00B7  BUILT FROM YOUR OWN DISC"),
        header);
    tagline->setObjectName(QStringLiteral("Tagline"));
    column->addWidget(tagline);
    row->addLayout(column);
    row->addStretch();
    return header;
}

QWidget *MainWindow::buildNavBar()
{
    auto *bar = new QWidget;
    bar->setObjectName(QStringLiteral("NavBar"));
    bar->setAttribute(Qt::WA_StyledBackground);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(16, 0, 16, 0);
    row->setSpacing(4);
    navGroup = new QButtonGroup(this);
    navGroup->setExclusive(true);
    const QStringList labels{tr("PLAY"), tr("BUILD GAME"), tr("SETTINGS"), tr("SUPPORT")};
    for (int i = 0; i < labels.size(); ++i) {
        auto *button = new QPushButton(labels.at(i), bar);
        button->setObjectName(QStringLiteral("NavButton"));
        button->setCheckable(true);
        button->setFixedWidth(140);
        button->setCursor(Qt::PointingHandCursor);
        navGroup->addButton(button, i);
        row->addWidget(button);
    }
    row->addStretch();
    connect(navGroup, &QButtonGroup::idClicked, this, &MainWindow::showPage);
    return bar;
}

QWidget *MainWindow::buildFooter()
{
    auto *footer = new QWidget;
    footer->setObjectName(QStringLiteral("Footer"));
    footer->setAttribute(Qt::WA_StyledBackground);
    auto *row = new QHBoxLayout(footer);
    row->setContentsMargins(16, 6, 16, 6);
    statusDot = new QLabel(QString(QChar(0x25CF)), footer);
    statusDot->setObjectName(QStringLiteral("Dot"));
    // A long status (a fingerprint that does not match, with its advice) is cut at the window's
    // edge and read whole in its tool tip; the version always shows whole.
    statusText = new ElidedLabel(footer);
    statusText->setObjectName(QStringLiteral("StatusText"));
    row->addWidget(statusDot);
    row->addWidget(statusText, 1);
    auto *version =
        new QLabel(QStringLiteral("Orvex Rovivi %1").arg(QCoreApplication::applicationVersion()), footer);
    version->setObjectName(QStringLiteral("VersionText"));
    version->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    row->addWidget(version);
    setStatus(QString::fromLatin1(kStatusNeutral), QString());
    return footer;
}

void MainWindow::setStatus(const QString &colour, const QString &text)
{
    statusDot->setStyleSheet(QStringLiteral("color: %1;").arg(colour));
    statusText->setFullText(text);
}

void MainWindow::showPage(int index)
{
    if (index < 0 || index >= pages.size())
        return;
    stack->setCurrentIndex(index);
    if (QAbstractButton *b = navGroup->button(index))
        b->setChecked(true);
    cfg::set(QString::fromLatin1(cfg::keys::uiPage.name), pageNames().at(index));
}

int MainWindow::currentPage() const
{
    return stack->currentIndex();
}

void MainWindow::showNotice(const QString &text, bool isError)
{
    banner->setText(text);
    banner->setStyleSheet(isError ? QStringLiteral("background:#6B3A0A; color:#FFFFFF; padding:12px 24px; "
                                                   "font-size:15pt; font-weight:700;")
                                  : QStringLiteral("background:#101829; color:#FFFFFF; padding:12px 24px; "
                                                   "font-size:15pt; border-bottom:1px solid #B8923A;"));
    banner->show();
    bannerTimer->start(20000);
}

void MainWindow::popUp(QWidget *widget)
{
    if (isMinimized())
        showNormal();
    const bool front = platform::showAndActivate(widget);
    appendLog(
        QStringLiteral("popup: %1 %2")
            .arg(widget->windowTitle(), front ? QStringLiteral("in front") : QStringLiteral("not in front")));
}

bool MainWindow::saveSnapshot(const QString &name, QWidget *dialog)
{
    QWidget *subject = dialog ? dialog : this;
    QDir().mkpath(options.snapDir);
    const QString path = QDir(options.snapDir).filePath(name + QStringLiteral(".png"));
    const bool ok = subject->grab().save(path);
    appendLog(
        QStringLiteral("snap: %1 %2 (window %3x%4)")
            .arg(QDir::toNativeSeparators(path), ok ? QStringLiteral("saved") : QStringLiteral("failed"))
            .arg(subject->width())
            .arg(subject->height()));
    return ok;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (shownOnce)
        return;
    shownOnce = true;
    platform::showAndActivate(this);
    if (currentPage() == 0)
        play->focusPlay();
}
