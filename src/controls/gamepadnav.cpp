#include "controls/gamepadnav.h"

#include "platform/platform.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTextEdit>
#include <climits>

namespace {

void sendKey(QWidget *target, int key)
{
    QPointer<QWidget> guard(target);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
    if (!guard)
        return; // the press closed it
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &release);
}

QRect rectIn(const QWidget *widget, const QWidget *window)
{
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

// Gap between [a1, a2) and [b1, b2) along one axis; 0 when they overlap.
int separation(int a1, int a2, int b1, int b2)
{
    return std::max({0, b1 - a2, a1 - b2});
}

} // namespace

GamepadNav::GamepadNav(QObject *parent, std::unique_ptr<PadSource> source)
    : QObject(parent), m_source(source ? std::move(source) : makeSdlPadSource())
{
    m_anyWindow = qEnvironmentVariableIsSet("ORX_PAD_ANY_WINDOW");
    m_started = m_source->start();
    if (!m_started)
        return;
    m_clock.start();
    rescan();
    m_lastRescan = 0;
    m_timer.setInterval(PollMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { pollAt(m_clock.elapsed()); });
    m_timer.start();
}

GamepadNav::~GamepadNav()
{
    for (const OpenPad &p : std::as_const(m_pads))
        m_source->close(p.pad);
    m_pads.clear();
    if (m_started)
        m_source->stop();
}

void GamepadNav::rescan()
{
    for (qsizetype i = m_pads.size() - 1; i >= 0; --i) {
        if (!m_source->connected(m_pads.at(i).pad)) {
            m_source->close(m_pads.at(i).pad);
            m_pads.removeAt(i);
        }
    }
    for (qint32 id : m_source->padIds()) {
        const bool open =
            std::any_of(m_pads.cbegin(), m_pads.cend(), [id](const OpenPad &p) { return p.id == id; });
        if (open)
            continue;
        if (PadSource::Pad pad = m_source->open(id))
            m_pads.append({id, pad});
    }
}

quint32 GamepadNav::readMask()
{
    // A direction pressed at the last poll stays pressed down to the lower threshold.
    const auto threshold = [this](quint32 bit) { return (m_raw & bit) ? StickHold : StickPress; };
    quint32 mask = 0;
    for (const OpenPad &p : std::as_const(m_pads)) {
        const int x = m_source->axis(p.pad, PadSource::LeftX);
        const int y = m_source->axis(p.pad, PadSource::LeftY);
        if (m_source->button(p.pad, PadSource::DpadUp) || y < -threshold(Up))
            mask |= Up;
        if (m_source->button(p.pad, PadSource::DpadDown) || y > threshold(Down))
            mask |= Down;
        if (m_source->button(p.pad, PadSource::DpadLeft) || x < -threshold(Left))
            mask |= Left;
        if (m_source->button(p.pad, PadSource::DpadRight) || x > threshold(Right))
            mask |= Right;
        if (m_source->button(p.pad, PadSource::South))
            mask |= Accept;
        if (m_source->button(p.pad, PadSource::East))
            mask |= Back;
        if (m_source->button(p.pad, PadSource::Start))
            mask |= Start;
        if (m_source->button(p.pad, PadSource::LeftShoulder))
            mask |= PreviousPage;
        if (m_source->button(p.pad, PadSource::RightShoulder))
            mask |= NextPage;
    }
    return mask;
}

void GamepadNav::pollAt(qint64 nowMs)
{
    if (!m_started)
        return;
    if (nowMs - m_lastRescan >= RescanMs) {
        rescan();
        m_lastRescan = nowMs;
    }
    m_source->update();
    const quint32 raw = readMask();
    m_raw = raw;

    const bool off = !QApplication::activeWindow() ||
                     (!m_anyWindow && platform::foregroundIsOtherProcess()) || (isPaused && isPaused());
    if (off) {
        m_armed = false;
        m_held = raw;
        m_pressed = 0;
        return;
    }
    if (!m_armed) {
        m_armed = true;
        m_armedAt = nowMs;
    }
    // A button already down when navigation came on does nothing until it is released.
    if (nowMs - m_armedAt < ArmingMs)
        m_held |= raw;
    m_held &= raw;

    const quint32 effective = raw & ~m_held;
    // The state is settled before any action runs: an action may open a dialog with its own
    // event loop, in which this poll runs again.
    std::array<quint32, ActionCount> due;
    int dueCount = 0;
    for (int i = 0; i < ActionCount; ++i) {
        const quint32 bit = 1u << i;
        if (!(effective & bit))
            continue;
        if (!(m_pressed & bit)) {
            m_pressedAt[i] = nowMs;
            m_repeats[i] = 0;
            due[dueCount++] = bit;
        } else if (bit & (Up | Down | Left | Right)) {
            const qint64 t = nowMs - m_pressedAt[i];
            const int wanted = t < RepeatDelayMs ? 0 : int((t - RepeatDelayMs) / RepeatEveryMs) + 1;
            if (wanted > m_repeats[i]) {
                m_repeats[i] = wanted;
                due[dueCount++] = bit;
            }
        }
    }
    m_pressed = effective;
    for (int i = 0; i < dueCount; ++i)
        perform(due[i]);
}

bool GamepadNav::isNavigable(const QWidget *widget)
{
    if (!widget || !widget->isVisible() || !widget->isEnabled() || !(widget->focusPolicy() & Qt::TabFocus))
        return false;
    return !qobject_cast<const QPlainTextEdit *>(widget) && !qobject_cast<const QTextEdit *>(widget);
}

void GamepadNav::perform(quint32 action)
{
    if (QWidget *popup = QApplication::activePopupWidget()) {
        QWidget *target = popup->focusWidget() ? popup->focusWidget() : popup;
        const int key = action == Up       ? Qt::Key_Up
                        : action == Down   ? Qt::Key_Down
                        : action == Accept ? Qt::Key_Return
                        : action == Back   ? Qt::Key_Escape
                                           : 0;
        if (key)
            sendKey(target, key);
        return;
    }
    QWidget *window = QApplication::activeWindow();
    if (!window)
        return;
    auto *dialog = qobject_cast<QDialog *>(window);
    switch (action) {
    case Up:
        moveFocus(0, -1);
        break;
    case Down:
        moveFocus(0, 1);
        break;
    case Left:
        moveFocus(-1, 0);
        break;
    case Right:
        moveFocus(1, 0);
        break;
    case Accept: {
        QWidget *focus = window->focusWidget();
        if (!isNavigable(focus))
            break;
        if (auto *button = qobject_cast<QAbstractButton *>(focus))
            button->animateClick();
        else if (auto *combo = qobject_cast<QComboBox *>(focus))
            combo->showPopup();
        else
            sendKey(focus, Qt::Key_Return);
        break;
    }
    case Back:
        if (dialog && !dialog->property("padKeepsFromBack").toBool())
            sendKey(dialog, Qt::Key_Escape);
        break;
    case Start:
        if (!dialog && onStart)
            onStart();
        break;
    case PreviousPage:
    case NextPage:
        if (!dialog && onPageStep)
            onPageStep(action == NextPage ? 1 : -1);
        break;
    default:
        break;
    }
}

QWidget *GamepadNav::focusTarget(QWidget *window, int dx, int dy)
{
    QWidget *focus = window->focusWidget();
    if (focus && (focus->window() != window || !isNavigable(focus)))
        focus = nullptr;
    const QList<QWidget *> all = window->findChildren<QWidget *>();
    if (!focus) {
        for (QWidget *w : all) {
            auto *button = qobject_cast<QPushButton *>(w);
            if (button && button->isDefault() && button->window() == window && isNavigable(button))
                return button;
        }
        QWidget *best = nullptr;
        int bestKey = INT_MAX;
        for (QWidget *w : all) {
            if (w->window() != window || !isNavigable(w))
                continue;
            const QPoint c = rectIn(w, window).center();
            const int key = 4 * c.y() + c.x();
            if (key < bestKey) {
                bestKey = key;
                best = w;
            }
        }
        return best;
    }
    const QRect f = rectIn(focus, window);
    QWidget *best = nullptr;
    int bestScore = INT_MAX;
    for (QWidget *w : all) {
        if (w == focus || w->window() != window || !isNavigable(w) || w->isAncestorOf(focus) ||
            focus->isAncestorOf(w))
            continue;
        const QRect c = rectIn(w, window);
        int distance, side;
        if (dx != 0) {
            distance = dx < 0 ? f.x() - (c.x() + c.width()) : c.x() - (f.x() + f.width());
            side = separation(f.y(), f.y() + f.height(), c.y(), c.y() + c.height());
        } else {
            distance = dy < 0 ? f.y() - (c.y() + c.height()) : c.y() - (f.y() + f.height());
            side = separation(f.x(), f.x() + f.width(), c.x(), c.x() + c.width());
        }
        if (distance < -4)
            continue; // behind the focus
        const int score = std::max(distance, 0) + 3 * side;
        if (score < bestScore) {
            bestScore = score;
            best = w;
        }
    }
    return best;
}

void GamepadNav::moveFocus(int dx, int dy)
{
    QWidget *window = QApplication::activeWindow();
    if (!window)
        return;
    QWidget *focus = window->focusWidget();
    if (auto *view = qobject_cast<QAbstractItemView *>(focus); view && isNavigable(view)) {
        const QModelIndex before = view->currentIndex();
        sendKey(view, dx < 0 ? Qt::Key_Left : dx > 0 ? Qt::Key_Right : dy < 0 ? Qt::Key_Up : Qt::Key_Down);
        if (before.isValid() && view->currentIndex() != before)
            return;
    }
    QWidget *target = focusTarget(window, dx, dy);
    if (!target)
        return;
    target->setFocus(Qt::TabFocusReason);
    for (QWidget *p = target->parentWidget(); p; p = p->parentWidget())
        if (auto *area = qobject_cast<QScrollArea *>(p))
            area->ensureWidgetVisible(target, 24, 24);
}
