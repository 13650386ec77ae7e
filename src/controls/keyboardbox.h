#pragma once
// The "KEYBOARD" box of the Settings page: keyboard play on or off and up to two keys for each of
// the 16 Xbox buttons. Every change is written to the controls file at once.

#include "controls/controls.h"

#include <QGroupBox>
#include <array>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

class KeyboardBox : public QGroupBox {
    Q_OBJECT
public:
    explicit KeyboardBox(QWidget *parent = nullptr);

    const Controls &controls() const { return m_controls; }
    QCheckBox *keyboardCheck() const { return m_check; }
    QPushButton *keyButton(int xboxIndex, int slot) const { return m_keyButtons[xboxIndex * 2 + slot]; }
    QLabel *status() const { return m_status; }

    // Opens the key dialog for one slot and applies what it gives.
    void changeKey(int xboxIndex, int slot);
    // Applies a dialog's result (KeyDialog::Result) with its key code.
    void applyKey(int xboxIndex, int slot, int result, int code);
    void restoreDefaults();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void reload();
    void save();
    void refresh();
    void setStatus(const QString &text, bool warning);
    QString buttonText(int xboxIndex) const;

    Controls m_controls;
    QCheckBox *m_check;
    std::array<QPushButton *, XboxButtonCount * 2> m_keyButtons{};
    QLabel *m_status;
};
