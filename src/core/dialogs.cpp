#include "dialogs.h"

#include "devhooks.h"

#include <QAbstractButton>
#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QTimer>
#include <cstdio>

bool dialogsCloseThemselves()
{
    // Offscreen nobody could answer a dialog; the variable is for scripted runs of development
    // builds only, so a player's environment never answers for them.
    return devhooks::value("ORX_AUTO_CLOSE_DIALOGS").value_or(QString()) == QLatin1String("1") ||
           QGuiApplication::platformName() == QLatin1String("offscreen");
}

void armScriptedDialog(QDialog *dialog, const QString &title, const QString &text)
{
    if (!dialogsCloseThemselves())
        return;
    const QByteArray line = QStringLiteral("dialog: %1: %2\n").arg(title, text).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    bool ok = false;
    int delay = devhooks::value("ORX_AUTO_CLOSE_MS").value_or(QString()).toInt(&ok);
    if (!ok || delay < 0)
        delay = 300;
    QTimer::singleShot(delay, dialog, [dialog] { dialog->done(QDialog::Rejected); });
}

QMessageBox::StandardButton showMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                           const QString &text, QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, text, buttons, parent);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    armScriptedDialog(&box, title, text);
    box.exec();
    if (QAbstractButton *clicked = box.clickedButton())
        return box.standardButton(clicked);
    // Closed without a button (by itself in a scripted run, or by Escape): the default answer.
    if (defaultButton != QMessageBox::NoButton)
        return defaultButton;
    return (buttons & QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::NoButton;
}

namespace {

class WrappedTextKeeper : public QObject {
public:
    explicit WrappedTextKeeper(QDialog *dialog) : QObject(dialog), m_dialog(dialog) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_dialog && (event->type() == QEvent::Resize ||
                                    event->type() == QEvent::LayoutRequest || event->type() == QEvent::Show))
            fit();
        return false;
    }

private:
    void fit()
    {
        QLayout *layout = m_dialog->layout();
        if (!layout)
            return;
        layout->activate();
        const int need = layout->hasHeightForWidth() ? layout->totalHeightForWidth(m_dialog->width())
                                                     : layout->totalMinimumSize().height();
        if (need > 0 && m_dialog->minimumHeight() != need)
            m_dialog->setMinimumHeight(need);
    }

    QDialog *m_dialog;
};

} // namespace

void keepWrappedTextWhole(QDialog *dialog)
{
    dialog->installEventFilter(new WrappedTextKeeper(dialog));
}
