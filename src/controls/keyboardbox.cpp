#include "controls/keyboardbox.h"

#include "controls/controlsfile.h"
#include "controls/keydialog.h"
#include "controls/keynames.h"
#include "core/log.h"

#include <QCheckBox>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// The two column groups of the grid, in the order the player reads them.
constexpr std::array<int, 8> FirstGroup{XboxUp, XboxDown, XboxLeft, XboxRight, XboxX, XboxY, XboxB, XboxA};
constexpr std::array<int, 8> SecondGroup{XboxRb, XboxRt, XboxLb, XboxLt, XboxStart, XboxBack, XboxLs, XboxRs};

bool hasFightRole(const Controls &c)
{
    return std::any_of(c.fight.cbegin(), c.fight.cend(), [](int role) { return role != -1; });
}

} // namespace

KeyboardBox::KeyboardBox(QWidget *parent) : QGroupBox(tr("KEYBOARD"), parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    auto *intro = new QLabel(tr("For playing without a controller. Each key presses a button of the Xbox 360 "
                                "controller; what the buttons do is set in the game's own Options."),
                             this);
    intro->setObjectName(QStringLiteral("Muted"));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    m_check = new QCheckBox(tr("Play with the keyboard (while the game's window is in front)"), this);
    layout->addWidget(m_check);

    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(4);
    const auto addGroup = [&](const std::array<int, 8> &group, int column) {
        for (int row = 0; row < int(group.size()); ++row) {
            const int b = group[row];
            auto *label = new QLabel(this);
            label->setObjectName(QStringLiteral("KeyLabel%1").arg(b));
            grid->addWidget(label, row, column);
            for (int slot = 0; slot < 2; ++slot) {
                auto *button = new QPushButton(this);
                button->setMinimumWidth(110);
                button->setCursor(Qt::PointingHandCursor);
                connect(button, &QPushButton::clicked, this, [this, b, slot] { changeKey(b, slot); });
                m_keyButtons[b * 2 + slot] = button;
                grid->addWidget(button, row, column + 1 + slot);
            }
        }
    };
    addGroup(FirstGroup, 0);
    addGroup(SecondGroup, 3);
    layout->addLayout(grid);

    auto *defaults = new QPushButton(tr("Default keys"), this);
    connect(defaults, &QPushButton::clicked, this, &KeyboardBox::restoreDefaults);
    layout->addWidget(defaults, 0, Qt::AlignLeft);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("Muted"));
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    connect(m_check, &QCheckBox::toggled, this, [this](bool on) {
        m_controls.keyboard = on;
        save();
    });

    // The game's own Options set what the buttons do in a fight; a role left in the file from an
    // older launcher would override them.
    m_controls = loadControls();
    if (hasFightRole(m_controls)) {
        m_controls.fight.fill(-1);
        appendLog(
            QStringLiteral("controls: the IN A FIGHT button combinations taken out of %1 (the game's own "
                           "Options set the buttons)")
                .arg(QDir::toNativeSeparators(controlsPath())));
        QString error;
        if (!saveControls(m_controls, &error))
            setStatus(error, true);
    }
    refresh();
}

QString KeyboardBox::buttonText(int b) const
{
    return buttonLabel(b, m_controls.fight[b]);
}

void KeyboardBox::showEvent(QShowEvent *event)
{
    QGroupBox::showEvent(event);
    reload();
}

void KeyboardBox::reload()
{
    // Edits made elsewhere (by hand, another launcher) show up.
    m_controls = loadControls();
    m_controls.fight.fill(-1);
    refresh();
}

void KeyboardBox::changeKey(int b, int slot)
{
    const QList<int> &keys = m_controls.keys[b];
    KeyDialog dialog(buttonText(b), slot < keys.size() ? keys.at(slot) : 0, this);
    const int result = dialog.exec();
    applyKey(b, slot, result, dialog.keyCode());
}

void KeyboardBox::applyKey(int b, int slot, int result, int code)
{
    if (result == KeyDialog::NoKey) {
        if (slot < m_controls.keys[b].size())
            m_controls.keys[b].removeAt(slot);
        setStatus(tr("%1 has one key less.").arg(buttonText(b)), false);
        save();
        return;
    }
    if (result != KeyDialog::KeyTaken || code == 0)
        return;
    const int loser = assignKey(m_controls.keys, b, slot, code);
    if (loser >= 0)
        setStatus(
            tr("%1 presses %2 now, no longer %3.").arg(buttonText(b), keyShownName(code), buttonText(loser)),
            false);
    else
        setStatus(tr("%1 presses %2.").arg(buttonText(b), keyShownName(code)), false);
    save();
}

void KeyboardBox::restoreDefaults()
{
    for (int b = 0; b < XboxButtonCount; ++b)
        m_controls.keys[b] = defaultKeys(b);
    m_controls.keyboard = true;
    setStatus(tr("The keyboard has its default keys again."), false);
    save();
}

void KeyboardBox::save()
{
    QString error;
    // On failure the change stays in memory: the next successful save writes it.
    if (!saveControls(m_controls, &error))
        setStatus(error, true);
    refresh();
}

void KeyboardBox::refresh()
{
    {
        const QSignalBlocker block(m_check);
        m_check->setChecked(m_controls.keyboard);
    }
    for (int b = 0; b < XboxButtonCount; ++b) {
        const QString text = buttonText(b);
        if (auto *label = findChild<QLabel *>(QStringLiteral("KeyLabel%1").arg(b)))
            label->setText(text);
        for (int slot = 0; slot < 2; ++slot) {
            QPushButton *button = m_keyButtons[b * 2 + slot];
            const QList<int> &keys = m_controls.keys[b];
            button->setText(slot < keys.size() ? keyShownName(keys.at(slot)) : QStringLiteral("\u2014"));
            button->setToolTip(tr("Click, then press the key for %1").arg(text));
            button->setAccessibleName(slot == 0 ? tr("Key for %1").arg(text)
                                                : tr("Second key for %1").arg(text));
        }
    }
}

void KeyboardBox::setStatus(const QString &text, bool warning)
{
    m_status->setText(text);
    m_status->setObjectName(warning ? QStringLiteral("Warning") : QStringLiteral("Muted"));
    m_status->style()->unpolish(m_status);
    m_status->style()->polish(m_status);
}
