#include "ui/buildpage.h"

#include "build/buildpipeline.h"
#include "build/buildsummary.h"
#include "build/workerthread.h"
#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "core/logview.h"
#include "core/pagekit.h"
#include "game/gamechecks.h"
#include "gamedata/registry.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel *summaryLabel(const QString &name)
{
    QLabel *label = makeLabel(QString(), QStringLiteral("Muted"));
    label->setAccessibleName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

BuildPage::BuildPage(QWidget *parent) : Page(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 20, 28, 20);
    layout->setSpacing(10);
    layout->addWidget(
        makePageHeader(tr("Build game"),
                       tr("The game is built on your PC from your own Xbox 360 disc and title update 3: the "
                          "launcher checks both, "
                          "extracts the disc, puts the update beside it (and your own downloadable content, "
                          "if you add it), then "
                          "the game's code is compiled for this PC. Nothing from the game is downloaded.")));
    m_alert = makeLabel(QString(), QStringLiteral("Alert"));
    m_alert->setAccessibleName(QStringLiteral("Alert"));
    m_alert->setWordWrap(true);
    m_alert->setTextFormat(Qt::PlainText);
    m_alert->hide();
    layout->addWidget(m_alert);

    auto *cards = new QHBoxLayout;
    QVBoxLayout *gameCard = nullptr;
    cards->addWidget(makeCard(tr("Game"), &gameCard), 1);
    m_title = makeLabel(QString(), QStringLiteral("Big"));
    m_title->setAccessibleName(QStringLiteral("Title"));
    gameCard->addWidget(m_title);
    m_gameInfo = summaryLabel(QStringLiteral("GameInfo"));
    m_disc = summaryLabel(QStringLiteral("Disc"));
    m_update = summaryLabel(QStringLiteral("TitleUpdate"));
    m_dlcSummary = summaryLabel(QStringLiteral("Dlc"));
    m_exe = summaryLabel(QStringLiteral("Exe"));
    for (QLabel *l : {m_gameInfo, m_disc, m_update, m_dlcSummary, m_exe})
        gameCard->addWidget(l);
    gameCard->addStretch(1);

    QVBoxLayout *steps = nullptr;
    cards->addWidget(makeCard(tr("Steps"), &steps), 1);
    steps->addWidget(makeLabel(tr("1. Your disc image (.iso)"), QStringLiteral("Muted")));
    const auto fieldRow = [&](QLineEdit *field, const QString &placeholder, const QString &name) {
        field->setPlaceholderText(placeholder);
        field->setObjectName(name);
        auto *row = new QHBoxLayout;
        row->addWidget(field, 1);
        auto *browse = new QPushButton(tr("Browse..."));
        browse->setObjectName(name + QStringLiteral("Browse"));
        row->addWidget(browse);
        steps->addLayout(row);
        m_inputs << browse;
        return browse;
    };
    m_imageField = new QLineEdit;
    connect(fieldRow(m_imageField, tr("path to your disc image (empty: the disc already extracted)"),
                     QStringLiteral("ImageField")),
            &QPushButton::clicked, this, &BuildPage::pickImage);
    m_stepTwo = makeLabel(QString());
    m_stepTwo->setAccessibleName(QStringLiteral("StepTwo"));
    m_stepTwo->setWordWrap(true);
    steps->addWidget(m_stepTwo);
    m_updateField = new QLineEdit;
    connect(fieldRow(m_updateField, tr("path to the title update package (empty: already in place)"),
                     QStringLiteral("UpdateField")),
            &QPushButton::clicked, this, [this] { pickUpdate(); });
    steps->addWidget(
        makeLabel(tr("3. Your downloadable content packages (optional)"), QStringLiteral("Muted")));
    auto *dlcRow = new QHBoxLayout;
    m_dlcLabel = makeLabel(QString());
    m_dlcLabel->setAccessibleName(QStringLiteral("DlcLabel"));
    dlcRow->addWidget(m_dlcLabel, 1);
    auto *add = new QPushButton(tr("Add..."));
    auto *clear = new QPushButton(tr("Clear"));
    dlcRow->addWidget(add);
    dlcRow->addWidget(clear);
    steps->addLayout(dlcRow);
    m_inputs << add << clear;
    connect(add, &QPushButton::clicked, this, &BuildPage::addDlc);
    connect(clear, &QPushButton::clicked, this, [this] {
        m_dlc.clear();
        store(cfg::gameKey(cfg::keys::gameDlc, gameId()), m_dlc);
        refreshDlcLabel();
    });
    auto *build = new QPushButton(tr("CHECK AND BUILD"));
    build->setObjectName(QStringLiteral("Primary"));
    steps->addWidget(build);
    auto *buttons = new QHBoxLayout;
    auto *compile = new QPushButton(tr("Compile the game's code"));
    compile->setToolTip(
        tr("The last step again by hand: compiles the game's code for this PC from the extracted "
           "disc and update."));
    m_cancel = new QPushButton(tr("Cancel"));
    m_cancel->setEnabled(false);
    buttons->addWidget(compile);
    buttons->addWidget(m_cancel);
    buttons->addStretch(1);
    steps->addLayout(buttons);
    m_inputs << build << compile;
    connect(build, &QPushButton::clicked, this, &BuildPage::startBuild);
    connect(compile, &QPushButton::clicked, this, &BuildPage::compileGame);
    connect(m_cancel, &QPushButton::clicked, this, &BuildPage::cancel);
    layout->addLayout(cards);

    m_progress = new QProgressBar;
    m_progress->setRange(0, 1000);
    m_progress->setValue(0);
    m_progress->setFormat(QStringLiteral("%p%"));
    layout->addWidget(m_progress);
    m_log = new LogView;
    layout->addWidget(m_log, 1);
    refreshDlcLabel();
}

bool BuildPage::isBusy() const
{
    return m_pipeline && m_pipeline->busy() != BuildPipeline::Idle;
}

void BuildPage::setGame(const QString &id)
{
    if (isBusy())
        return;
    Page::setGame(id);
    if (!m_pipeline || m_pipeline->gameId() != id) {
        delete m_pipeline;
        m_pipeline = new BuildPipeline(id, this);
        connect(m_pipeline, &BuildPipeline::logLine, m_log, &LogView::append);
        connect(m_pipeline, &BuildPipeline::progressChanged, this,
                [this](int minimum, int maximum, int value, const QString &format) {
                    m_progress->setRange(minimum, maximum);
                    m_progress->setValue(value);
                    m_progress->setFormat(format);
                });
        connect(m_pipeline, &BuildPipeline::busyChanged, this, [this](bool busy) {
            setInputsEnabled(!busy);
            if (!busy)
                refreshSummary();
            emit busyChanged(busy);
        });
        connect(m_pipeline, &BuildPipeline::summaryChanged, this, &BuildPage::refreshSummary);
        connect(m_pipeline, &BuildPipeline::cannotBuild, this, [this](const QString &text) {
            showMessageBox(this, QMessageBox::Warning, tr("Cannot build the game"), text);
        });
        connect(m_pipeline, &BuildPipeline::titleUpdateNeeded, this, &BuildPage::askForTitleUpdate);
    }
    m_imageField->setText(native(cfg::gameImage(id)));
    m_updateField->setText(native(cfg::gameUpdatePackage(id)));
    m_dlc = cfg::gameDlc(id);
    const Game *game = GameRegistry::instance().find(id);
    m_stepTwo->setText(
        game ? tr("2. Title update %1: the file %2").arg(game->titleUpdate.number).arg(updatePackageText(id))
             : QString());
    refreshDlcLabel();
    refreshSummary();
}

void BuildPage::extractImage(const QString &imagePath)
{
    if (isBusy())
        return;
    m_imageField->setText(native(imagePath));
    startBuild();
}

void BuildPage::startBuild()
{
    if (!m_pipeline)
        return;
    m_pipeline->startBuild({m_imageField->text().trimmed(), m_updateField->text().trimmed(), m_dlc});
}

void BuildPage::compileGame()
{
    if (m_pipeline)
        m_pipeline->compileGame();
}

void BuildPage::cancel()
{
    if (m_pipeline)
        m_pipeline->cancel();
}

void BuildPage::showEvent(QShowEvent *event)
{
    Page::showEvent(event);
    if (titleUpdateHashesKept(gameId())) {
        refreshSummary();
        return;
    }
    // The title update's files changed since they were hashed: tens of megabytes, hashed on a
    // worker thread while the summary shown stays.
    if (m_hashing)
        return;
    m_hashing = true;
    runOnWorkerThread(
        this, [paths = titleUpdateFiles(gameId())] { hashAhead(paths); },
        [this] {
            m_hashing = false;
            refreshSummary();
        });
}

void BuildPage::setInputsEnabled(bool enabled)
{
    m_imageField->setEnabled(enabled);
    m_updateField->setEnabled(enabled);
    for (QPushButton *b : std::as_const(m_inputs))
        b->setEnabled(enabled);
    m_cancel->setEnabled(!enabled);
}

void BuildPage::refreshSummary()
{
    const BuildSummary s = buildSummary(gameId());
    m_title->setText(s.title);
    m_gameInfo->setText(s.gameInfo);
    m_disc->setText(s.disc);
    m_update->setText(s.titleUpdate);
    m_alert->setText(s.alert);
    m_alert->setVisible(!s.alert.isEmpty());
    m_dlcSummary->setText(s.dlc);
    m_dlcSummary->setToolTip(s.dlcFolders.join(QLatin1Char('\n')));
    m_exe->setText(s.game);
}

void BuildPage::refreshDlcLabel()
{
    m_dlcLabel->setText(m_dlc.isEmpty() ? tr("none") : tr("%n package(s)", nullptr, int(m_dlc.size())));
    QStringList names;
    for (const QString &path : std::as_const(m_dlc))
        names << QFileInfo(path).fileName();
    m_dlcLabel->setToolTip(names.join(QLatin1Char('\n')));
}

void BuildPage::store(const QString &keyName, const QVariant &value)
{
    QString error;
    if (!cfg::set(keyName, value, &error))
        m_log->append(error);
}

void BuildPage::pickImage()
{
    QFileDialog dialog(this, tr("Disc image"), QFileInfo(m_imageField->text()).absolutePath(),
                       tr("Xbox 360 disc images (*.iso);;All files (*)"));
    dialog.setObjectName(QStringLiteral("DiscPicker"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    m_imageField->setText(native(dialog.selectedFiles().first()));
    store(cfg::gameKey(cfg::keys::gameImage, gameId()), m_imageField->text());
}

bool BuildPage::pickUpdate()
{
    QFileDialog dialog(this, tr("Title update package"), QFileInfo(m_updateField->text()).absolutePath(),
                       tr("All files (*)"));
    dialog.setObjectName(QStringLiteral("UpdatePicker"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    m_updateField->setText(native(dialog.selectedFiles().first()));
    store(cfg::gameKey(cfg::keys::gameUpdatePackage, gameId()), m_updateField->text());
    return true;
}

void BuildPage::addDlc()
{
    QFileDialog dialog(this, tr("Downloadable content packages"), QString(), tr("All files (*)"));
    dialog.setObjectName(QStringLiteral("DlcPicker"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    if (dialog.exec() != QDialog::Accepted)
        return;
    for (const QString &file : dialog.selectedFiles()) {
        const QString path = native(file);
        if (!m_dlc.contains(path))
            m_dlc << path;
    }
    store(cfg::gameKey(cfg::keys::gameDlc, gameId()), m_dlc);
    refreshDlcLabel();
}

void BuildPage::askForTitleUpdate(const QString &text)
{
    const Game *game = GameRegistry::instance().find(gameId());
    const QString label = game ? game->titleUpdate.label() : tr("the title update");
    QMessageBox box(QMessageBox::Warning, tr("Orvex Rovivi needs %1").arg(label), text, QMessageBox::NoButton,
                    this);
    box.setObjectName(QStringLiteral("TitleUpdatePrompt"));
    box.setTextFormat(Qt::PlainText);
    box.setStyleSheet(
        QStringLiteral("QLabel { font-size: 14pt; color: #FFFFFF; }QPushButton { font-family: "
                       "\"Bahnschrift\"; font-size: 13pt; font-weight: 700; padding: 10px 22px; }"));
    QPushButton *choose = box.addButton(tr("Choose %1 now").arg(label), QMessageBox::AcceptRole);
    box.addButton(tr("Not now"), QMessageBox::RejectRole);
    box.setDefaultButton(choose);
    armScriptedDialog(&box, box.windowTitle(), text);
    box.exec();
    // A file chosen from the prompt starts the build at once.
    if (box.clickedButton() == choose && pickUpdate())
        startBuild();
}
