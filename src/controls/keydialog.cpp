#include "controls/keydialog.h"

#include "controls/keynames.h"
#include "platform/platform.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

KeyDialog::KeyDialog(const QString &buttonText, int currentKey, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Change key"));
    setMinimumWidth(420);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setSpacing(12);
    auto *title = new QLabel(tr("Press the key for %1").arg(buttonText), this);
    title->setObjectName(QStringLiteral("Big"));
    layout->addWidget(title);
    m_hint = new QLabel(currentKey ? tr("It is %1 now. Esc cancels.").arg(keyShownName(currentKey))
                                   : tr("Esc cancels."),
                        this);
    m_hint->setObjectName(QStringLiteral("Muted"));
    m_hint->setWordWrap(true);
    layout->addWidget(m_hint);
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    // The buttons never take the keyboard: every key press belongs to the capture.
    for (const auto &[text, result] :
         {std::pair{tr("No key"), int(NoKey)}, std::pair{tr("Cancel"), int(Cancelled)}}) {
        auto *button = new QPushButton(text, this);
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        button->setDefault(false);
        connect(button, &QPushButton::clicked, this, [this, result = result] { done(result); });
        row->addWidget(button);
    }
    layout->addLayout(row);
    setFocusPolicy(Qt::StrongFocus);
    platform::useDarkTitleBar(this);
}

QString KeyDialog::hint() const
{
    return m_hint->text();
}

int KeyDialog::acceptedCode(int vk)
{
    // The Windows keys and the menu key, and F6 to F12, which the game uses itself.
    if (vk == 91 || vk == 92 || vk == 93 || (vk >= 117 && vk <= 123))
        return 0;
    return vk >= 1 && vk <= 254 ? vk : 0;
}

bool KeyDialog::event(QEvent *event)
{
    // No shortcut of the window fires while a key is being captured.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return QDialog::event(event);
}

void KeyDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        done(Cancelled);
        return;
    }
    const int code = acceptedCode(platform::virtualKeyCode(*event));
    if (code == 0) {
        QString name = QKeySequence(event->key()).toString(QKeySequence::NativeText);
        if (event->key() == 0 || event->key() == Qt::Key_unknown)
            name.clear();
        m_hint->setText(tr("%1 is kept for Windows or the game; press another key. Esc cancels.")
                            .arg(name.isEmpty() ? tr("That key") : name));
        return;
    }
    m_code = code;
    done(KeyTaken);
}

void KeyDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    setFocus(Qt::OtherFocusReason);
}
