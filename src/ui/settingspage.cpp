#include "ui/settingspage.h"

#include "controls/keyboardbox.h"
#include "core/cfg.h"
#include "core/pagekit.h"
#include "gamedata/registry.h"
#include "net/fingerprint.h"
#include "net/serverclient.h"
#include "net/upnpmapper.h"
#include "platform/platform.h"
#include "ui/settingsbinder.h"
#include "ui/settingsrules.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace {

QLabel *wrapped(const QString &text, const QString &objectName = QString())
{
    QLabel *label = makeLabel(text, objectName);
    label->setWordWrap(true);
    return label;
}

void setStyleClass(QLabel *label, const QString &name)
{
    label->setObjectName(name);
    label->style()->unpolish(label);
    label->style()->polish(label);
}

QString sizeText(QSize size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

} // namespace

WheelGuard::WheelGuard(QScrollArea *area, QObject *parent) : QObject(parent), m_area(area) {}

void WheelGuard::guard(QWidget *control)
{
    control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(this);
}

bool WheelGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Wheel) {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (widget && !widget->hasFocus()) {
            QCoreApplication::sendEvent(m_area->viewport(), event);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

SettingsPage::SettingsPage(ServerClient *server, QWidget *parent) : Page(parent), m_server(server)
{
    m_binder = new SettingsBinder(this);
    connect(m_binder, &SettingsBinder::writeFailed, this, &SettingsPage::showSaved);
    connect(m_binder, &SettingsBinder::stored, this, [this] { showSaved(QString()); });

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_area = new QScrollArea(this);
    m_area->setFrameShape(QFrame::NoFrame);
    m_area->setWidgetResizable(true);
    outer->addWidget(m_area);
    m_wheelGuard = new WheelGuard(m_area, this);

    auto *content = new QWidget;
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(28, 20, 28, 20);
    layout->setSpacing(10);
    layout->addWidget(makePageHeader(tr("Settings"), QString(), &m_savedLine));
    m_savedLine->setAccessibleName(QStringLiteral("SavedLine"));
    showSaved(QString());

    m_grid = new QGridLayout;
    m_grid->setHorizontalSpacing(16);
    m_grid->setVerticalSpacing(4);
    m_grid->addWidget(buildServer(), 0, 0);
    m_grid->addWidget(buildOnline(), 1, 0);
    m_grid->addWidget(buildDisplay(), 1, 1);
    m_keyboard = new KeyboardBox(content);
    m_grid->addWidget(m_keyboard, 2, 0, 1, 2);
    m_grid->addWidget(
        wrapped(tr("Sound and music: set them in the game's own Options."), QStringLiteral("Muted")), 3, 0, 1,
        2);
    m_tools = buildTools();
    m_tools->setAccessibleName(QStringLiteral("Tools"));
    m_grid->addWidget(m_tools, 5, 0, 1, 2);
    m_tools->setVisible(!cfg::isPackaged());
    layout->addLayout(m_grid);
    layout->addStretch(1);
    m_area->setWidget(content);

    for (QComboBox *combo : content->findChildren<QComboBox *>())
        m_wheelGuard->guard(combo);
    for (QSpinBox *spin : content->findChildren<QSpinBox *>())
        m_wheelGuard->guard(spin);

    // The measured ping arrives without a signal of its own: read it again while the page shows.
    m_pingRefresh = new QTimer(this);
    m_pingRefresh->setInterval(1000);
    connect(m_pingRefresh, &QTimer::timeout, this, &SettingsPage::refreshServerLabels);
    if (m_server) {
        connect(m_server, &ServerClient::stateChanged, this, &SettingsPage::refreshServer);
        connect(m_server, &ServerClient::message, this, &SettingsPage::refreshServerLabels);
    }
    refreshServer();
}

void SettingsPage::showEvent(QShowEvent *event)
{
    Page::showEvent(event);
    refreshServerLabels();
    m_pingRefresh->start();
}

void SettingsPage::hideEvent(QHideEvent *event)
{
    Page::hideEvent(event);
    m_pingRefresh->stop();
}

void SettingsPage::showSaved(const QString &error)
{
    if (error.isEmpty()) {
        m_savedLine->setText(tr("Saved to %1").arg(QDir::toNativeSeparators(cfg::settingsPath())));
        setStyleClass(m_savedLine, QStringLiteral("PageSubtitle"));
    } else {
        m_savedLine->setText(error);
        setStyleClass(m_savedLine, QStringLiteral("Warning"));
    }
}

QGroupBox *SettingsPage::buildServer()
{
    auto *box = new QGroupBox(tr("SERVER"));
    auto *form = new QFormLayout(box);
    m_address = new QLineEdit;
    m_address->setObjectName(QString::fromLatin1(cfg::keys::serverAddress.name));
    m_address->setPlaceholderText(tr("host:7777"));
    form->addRow(tr("Address"), m_address);
    m_fingerprint = new QLineEdit;
    m_fingerprint->setObjectName(QString::fromLatin1(cfg::keys::serverFingerprint.name));
    m_fingerprint->setPlaceholderText(
        tr("SHA-256 of the server certificate (the server's host gives it out)"));
    form->addRow(tr("Fingerprint"), m_fingerprint);
    auto *autoConnect = new QCheckBox(tr("Connect when the launcher starts"));
    m_binder->check(autoConnect, cfg::keys::serverAutoConnect, cfg::serverAutoConnect());
    form->addRow(autoConnect);
    auto *buttons = new QHBoxLayout;
    auto *connectButton = new QPushButton(tr("Connect"));
    auto *disconnectButton = new QPushButton(tr("Disconnect"));
    auto *pinButton = new QPushButton(tr("Pin presented certificate"));
    buttons->addWidget(connectButton);
    buttons->addWidget(disconnectButton);
    buttons->addWidget(pinButton);
    buttons->addStretch(1);
    form->addRow(buttons);
    m_serverLine = wrapped(QString(), QStringLiteral("Warning"));
    m_serverLine->setAccessibleName(QStringLiteral("ServerLine"));
    m_serverLine->hide();
    form->addRow(m_serverLine);
    m_state = new QLabel;
    m_state->setAccessibleName(QStringLiteral("State"));
    form->addRow(tr("State"), m_state);
    m_presented = wrapped(QString());
    m_presented->setAccessibleName(QStringLiteral("Presented"));
    m_presented->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(tr("Presented"), m_presented);

    connect(connectButton, &QPushButton::clicked, this, &SettingsPage::connectToServer);
    connect(disconnectButton, &QPushButton::clicked, this, [this] {
        if (m_server)
            m_server->disconnectFromServer();
    });
    connect(pinButton, &QPushButton::clicked, this, [this] {
        if (m_server && !m_server->presentedFingerprint().isEmpty())
            m_fingerprint->setText(formatFingerprint(m_server->presentedFingerprint()));
    });
    return box;
}

void SettingsPage::connectToServer()
{
    const QString address = m_address->text().trimmed();
    const QString fingerprint = normalizeFingerprint(m_fingerprint->text());
    // Nothing half-right is stored: the old address and fingerprint keep working.
    QString problem;
    if (address.isEmpty())
        problem = tr("Type the server's address (host:port) first.");
    else if (!fingerprint.isEmpty() && fingerprint.size() != 64)
        problem =
            tr("A fingerprint has 64 hexadecimal digits (0-9, A-F); this one has %1. Nothing was changed.")
                .arg(fingerprint.size());
    m_serverLine->setText(problem);
    m_serverLine->setVisible(!problem.isEmpty());
    if (!problem.isEmpty())
        return;
    if (!m_binder->store(QString::fromLatin1(cfg::keys::serverAddress.name), address) ||
        !m_binder->store(QString::fromLatin1(cfg::keys::serverFingerprint.name), fingerprint))
        return;
    m_fingerprint->setText(formatFingerprint(fingerprint));
    emit reconnectRequested();
}

void SettingsPage::refreshServer()
{
    // A field the player is typing in is left alone.
    if (!m_address->hasFocus())
        m_address->setText(cfg::serverAddress());
    if (!m_fingerprint->hasFocus())
        m_fingerprint->setText(formatFingerprint(cfg::serverFingerprint()));
    refreshServerLabels();
}

void SettingsPage::refreshServerLabels()
{
    const ServerClient::State state = m_server ? m_server->state() : ServerClient::Offline;
    m_state->setText(QString::fromLatin1(QMetaEnum::fromType<ServerClient::State>().valueToKey(state)));
    const QString presented = m_server ? m_server->presentedFingerprint() : QString();
    m_presented->setText(presented.isEmpty() ? tr("(none yet)") : formatFingerprint(presented));
    refreshHideIpText();
}

QGroupBox *SettingsPage::buildOnline()
{
    auto *box = new QGroupBox(tr("ONLINE"));
    auto *form = new QFormLayout(box);

    auto *region = new QComboBox;
    fillRegionChoices(region, cfg::region());
    m_binder->comboFilled(region, cfg::keys::region);
    form->addRow(tr("Region"), region);

    auto *maxPing = new QComboBox;
    fillMaxPingChoices(maxPing, cfg::maxPing());
    m_binder->comboFilled(maxPing, cfg::keys::maxPing);
    form->addRow(tr("Max ping"), maxPing);

    m_delay = new QComboBox;
    m_delay->addItem(cfg::delayLabel(-1), QStringLiteral("auto"));
    for (int frames = 0; frames <= 4; ++frames)
        m_delay->addItem(cfg::delayLabel(frames), QString::number(frames));
    m_delay->setToolTip(tr("Auto picks the delay from the ping measured when the match starts: 1 frame under "
                           "67 ms, a frame more for "
                           "every 33 ms above (2 to 100 ms, 3 to 133 ms, 4 to 166 ms, 5 to 200 ms, 6 above), "
                           "so the game rolls back "
                           "less and characters jump less. A number keeps that many frames, more when the "
                           "other player's is larger. "
                           "Both games always play the same delay."));
    const int delay = cfg::inputDelay();
    m_delay->setCurrentIndex(delay < 0 ? 0 : delay + 1);
    m_binder->comboFilled(m_delay, cfg::keys::inputDelay, [this](const QVariant &data) {
        m_binder->store(QString::fromLatin1(cfg::keys::inputDelay.name), data);
        refreshDelayNote();
    });
    form->addRow(tr("Input delay"), m_delay);
    m_delayNote = wrapped(QString(), QStringLiteral("Muted"));
    form->addRow(m_delayNote);
    refreshDelayNote();

    m_port = new QSpinBox;
    m_port->setRange(1024, 65535);
    m_binder->spin(m_port, cfg::keys::gamePort, cfg::gamePort(), true, [this](int) { mapGamePort(); });
    form->addRow(tr("Game UDP port"), m_port);

    auto *strict = new QCheckBox(tr("Strict ranked matchmaking (your region only, a close rank only)"));
    m_binder->check(strict, cfg::keys::strict, cfg::strict());
    form->addRow(strict);

    m_upnpCheck = new QCheckBox(tr("Open the game port on the router (UPnP)"));
    m_binder->check(m_upnpCheck, cfg::keys::upnp, cfg::upnp(), [this](bool on) {
        if (on)
            mapGamePort();
    });
    form->addRow(m_upnpCheck);

    m_hideIp = new QCheckBox(tr("Hide my IP address from opponents"));
    m_hideIp->setToolTip(tr(
        "Your matches go through the server, so nobody you play can see your address. They get more ping the "
        "farther you and your opponent are from the server (in Virginia, USA): two players in Europe get "
        "about "
        "180 ms this way instead of about 25 ms directly. A match whose ping that way is too high tries a "
        "direct "
        "connection instead, unless the box below is ticked."));
    m_hideIpAlways = new QCheckBox(tr("Even when the ping through the server is high"));
    m_hideIpAlways->setToolTip(tr("Every match goes through the server however much ping that costs: no "
                                  "opponent ever sees your address."));
    m_binder->check(m_hideIp, cfg::keys::hideIp, cfg::hideIp(), [this](bool on) {
        m_hideIpAlways->setEnabled(on);
        refreshHideIpText();
    });
    m_binder->check(m_hideIpAlways, cfg::keys::hideIpAlways, cfg::hideIpAlways(),
                    [this](bool) { refreshHideIpText(); });
    m_hideIpAlways->setEnabled(m_hideIp->isChecked());
    form->addRow(m_hideIp);
    form->addRow(m_hideIpAlways);
    m_hideIpText = wrapped(QString());
    m_hideIpText->setAccessibleName(QStringLiteral("HideIpText"));
    form->addRow(m_hideIpText);

    auto *sound = new QCheckBox(tr("Play a sound when a match is found"));
    sound->setToolTip(tr("A short chime when the game shows MATCH FOUND, heard over the game."));
    m_binder->check(sound, cfg::keys::matchSound, cfg::matchSound());
    form->addRow(sound);

    m_router = wrapped(tr("Router: not asked"));
    m_router->setAccessibleName(QStringLiteral("Router"));
    form->addRow(tr("Router"), m_router);
    form->addRow(
        wrapped(tr("Ranked uses at least 1 frame. Players who cannot reach each other directly, or who hide "
                   "their IP address, play through the server: more ping the farther both are from it.")));
    return box;
}

void SettingsPage::refreshDelayNote()
{
    // The first choice is Auto; the others are 0, 1, 2... frames.
    m_delayNote->setText(delayNote(m_delay->currentIndex() - 1, m_delay->currentText()));
}

void SettingsPage::refreshHideIpText()
{
    const QString text =
        m_server ? hideIpText(m_hideIp->isChecked(), m_hideIpAlways->isChecked(), m_server->roundTripMs(),
                              m_server->welcome().value(QStringLiteral("direct_above_ms")).toInt(0))
                 : QString();
    m_hideIpText->setVisible(!text.isEmpty());
    if (!text.isEmpty())
        m_hideIpText->setText(text);
}

void SettingsPage::setUpnpMapper(UpnpMapper *mapper)
{
    if (m_upnp)
        disconnect(m_upnp, nullptr, this, nullptr);
    m_upnp = mapper;
    if (!mapper)
        return;
    const auto show = [this](const QString &status) {
        m_router->setText(status.isEmpty() ? tr("not asked (UPnP is off)") : status);
    };
    connect(mapper, &UpnpMapper::statusChanged, this, show);
    if (!mapper->status().isEmpty())
        show(mapper->status());
}

void SettingsPage::mapGamePort()
{
    if (m_upnp && m_upnpCheck->isChecked())
        m_upnp->mapPort(quint16(m_port->value()), false);
}

QGroupBox *SettingsPage::buildDisplay()
{
    auto *box = new QGroupBox(tr("DISPLAY"));
    auto *form = new QFormLayout(box);

    auto *mode = new QComboBox;
    mode->addItem(tr("Windowed"), QStringLiteral("windowed"));
    mode->addItem(tr("Borderless"), QStringLiteral("borderless"));
    mode->addItem(tr("Fullscreen"), QStringLiteral("fullscreen"));
    m_binder->combo(mode, cfg::keys::displayMode, cfg::displayMode(), 0);
    form->addRow(tr("Window"), mode);

    auto *resolution = new QComboBox;
    const QSize desktop = platform::desktopSize();
    resolution->addItem(desktop.isValid() ? tr("%1 (your monitor)").arg(sizeText(desktop))
                                          : tr("Your monitor's"),
                        QStringLiteral("desktop"));
    for (const QSize &size : platform::displayModes())
        if (size != desktop)
            resolution->addItem(sizeText(size), sizeText(size));
    QString stored = cfg::displayResolution();
    if (desktop.isValid() && stored == sizeText(desktop))
        stored = QStringLiteral("desktop");
    if (resolution->findData(stored) < 0)
        resolution->addItem(stored, stored); // kept as the player (or an older launcher) set it
    m_binder->combo(resolution, cfg::keys::displayResolution, stored, 0);
    form->addRow(tr("Resolution"), resolution);

    auto *scale = new QComboBox;
    scale->addItem(tr("1280x720 (as on the console)"), 1);
    scale->addItem(tr("2560x1440 (2x)"), 2);
    scale->addItem(tr("3840x2160 (3x)"), 3);
    scale->addItem(tr("5120x2880 (4x)"), 4);
    scale->setToolTip(
        tr("The resolution the game draws at, before it is fitted to the window or screen. Higher is "
           "sharper and asks more of your graphics card; 1280x720 is the console's own."));
    m_binder->combo(scale, cfg::keys::renderScale, cfg::renderScale(), 0);
    form->addRow(tr("Internal resolution"), scale);

    auto *aa = new QComboBox;
    aa->addItem(tr("Off"), QStringLiteral("off"));
    aa->addItem(tr("FXAA"), QStringLiteral("fxaa"));
    aa->addItem(tr("FXAA, stronger"), QStringLiteral("fxaa_extreme"));
    aa->setToolTip(tr("Smooths the jagged edges of the finished picture. Costs little."));
    m_binder->combo(aa, cfg::keys::antiAliasing, cfg::antiAliasing(), 0);
    form->addRow(tr("Anti-aliasing"), aa);

    auto *filtering = new QComboBox;
    filtering->addItem(tr("As the game sets it"), 0);
    for (int x : {2, 4, 8, 16})
        filtering->addItem(tr("Anisotropic %1x").arg(x), x);
    filtering->setToolTip(
        tr("Keeps textures sharp on surfaces seen at an angle, such as the stage's floor."));
    m_binder->combo(filtering, cfg::keys::anisotropic, cfg::anisotropic(), 0);
    form->addRow(tr("Texture filtering"), filtering);

    auto *vsync = new QComboBox;
    vsync->addItem(tr("On"), QStringLiteral("on"));
    vsync->addItem(tr("On, G-SYNC or FreeSync monitor"), QStringLiteral("adaptive"));
    vsync->addItem(tr("Off"), QStringLiteral("off"));
    vsync->setToolTip(tr("On: every frame waits for your monitor, so the picture never tears, even when a "
                         "graphics driver is set "
                         "to force v-sync off.\nOn, G-SYNC or FreeSync monitor: the monitor follows the "
                         "game's 60 frames a second "
                         "instead, as smooth as it gets (turn G-SYNC or FreeSync on in your graphics "
                         "driver).\nOff: each frame is "
                         "shown at once and may tear."));
    const QString shownSync = cfg::vsync()
                                  ? (cfg::adaptiveSync() ? QStringLiteral("adaptive") : QStringLiteral("on"))
                                  : QStringLiteral("off");
    m_binder->combo(vsync, cfg::keys::vsync, shownSync, 2, [this](const QVariant &data) {
        const QString choice = data.toString();
        if (m_binder->store(QString::fromLatin1(cfg::keys::vsync.name), choice != QLatin1String("off")))
            m_binder->store(QString::fromLatin1(cfg::keys::adaptiveSync.name),
                            choice == QLatin1String("adaptive"));
    });
    form->addRow(tr("V-sync"), vsync);

    auto *brightness = new QSpinBox;
    brightness->setRange(70, 160);
    brightness->setSingleStep(5);
    brightness->setSuffix(tr(" %"));
    brightness->setToolTip(
        tr("Lifts (or lowers) the game's mid-tones; blacks and whites stay as they are. 100 % is "
           "the picture as the game draws it."));
    m_binder->spin(brightness, cfg::keys::brightness, cfg::brightness(), false);
    form->addRow(tr("Brightness"), brightness);

    auto *frameData = new QCheckBox(tr("Frame data in practice"));
    frameData->setToolTip(
        tr("In Training and Rovivi Practice, a frame meter as Street Fighter 6's: both players' "
           "frames (startup, impact, recovery, stun), each one's startup, impact, recovery, total "
           "and advantage, and the last hit's damage. F7 in the game hides or shows it."));
    m_binder->check(frameData, cfg::keys::frameData, cfg::frameData());
    form->addRow(frameData);
    form->addRow(
        wrapped(tr("These change only how the game looks, never what it computes: you and your opponent may "
                   "set them differently. A game that is running takes them too, its window the next time "
                   "you switch to it. Windowed at your monitor's resolution, the window is as large as fits "
                   "on your screen.")));
    return box;
}

QGroupBox *SettingsPage::buildTools()
{
    auto *box = new QGroupBox(tr("TOOLS AND DEVELOPMENT"));
    auto *form = new QFormLayout(box);
    auto *python = new QLineEdit;
    m_binder->text(python, QString::fromLatin1(cfg::keys::python.name), cfg::python());
    form->addRow(tr("Python"), python);
    auto *repo = new QLineEdit;
    m_binder->text(repo, QString::fromLatin1(cfg::keys::repoRoot.name), cfg::repoRoot());
    form->addRow(tr("Repository"), repo);
    auto *ports = new QHBoxLayout;
    for (const auto &[key, instance] :
         {std::pair{&cfg::keys::devLocalPort1, 1}, std::pair{&cfg::keys::devLocalPort2, 2}}) {
        auto *spin = new QSpinBox;
        spin->setRange(1024, 65535);
        m_binder->spin(spin, *key, cfg::localPort(instance), true);
        ports->addWidget(spin);
    }
    form->addRow(tr("Local test ports"), ports);
    return box;
}

void SettingsPage::setGame(const QString &gameId)
{
    Page::setGame(gameId);
    if (m_gameFolder || !GameRegistry::instance().find(gameId))
        return;
    m_gameFolder = new QGroupBox(tr("GAME FOLDER"));
    auto *form = new QFormLayout(m_gameFolder);
    const auto row = [&](const QString &label, const cfg::Key &key, const QString &current, bool folderPicker,
                         bool filePicker) {
        auto *edit = new QLineEdit;
        const QString keyName = cfg::gameKey(key, gameId);
        m_binder->text(edit, keyName, current);
        if (!folderPicker && !filePicker) {
            form->addRow(label, edit);
            return edit;
        }
        auto *line = new QHBoxLayout;
        line->addWidget(edit, 1);
        auto *pick = new QPushButton(QStringLiteral("..."));
        line->addWidget(pick);
        connect(pick, &QPushButton::clicked, this, [this, edit, keyName, folderPicker] {
            const QString chosen =
                folderPicker ? QFileDialog::getExistingDirectory(this, tr("Game folder"), edit->text())
                             : QFileDialog::getOpenFileName(this, tr("Game executable"), edit->text(),
                                                            tr("Programs (*.exe *.py);;All files (*)"));
            if (chosen.isEmpty())
                return;
            edit->setText(QDir::toNativeSeparators(chosen));
            m_binder->store(keyName, edit->text());
        });
        form->addRow(label, line);
        return edit;
    };
    row(tr("Folder"), cfg::keys::gameFolder, cfg::gameFolder(gameId), true, false);
    row(tr("Executable"), cfg::keys::gameExe, cfg::gameExe(gameId), false, true);
    row(tr("Build script"), cfg::keys::gameBuildScript, cfg::buildScript(gameId), false, false)
        ->setToolTip(
            tr("What compiles the game's code once Build game has put the disc and update in place."));
    m_grid->addWidget(m_gameFolder, 4, 0, 1, 2);
}
