#pragma once
// "Change key": captures one key press for one slot of an Xbox button. Results: 1 with a key code
// (keyCode()), 2 for "No key", 0 for Cancel or Esc.

#include <QDialog>

class QLabel;

class KeyDialog : public QDialog {
    Q_OBJECT
public:
    enum Result { Cancelled = 0, KeyTaken = 1, NoKey = 2 };

    // `buttonText` is the Xbox button's label with its role; `currentKey` the slot's key, 0 for none.
    KeyDialog(const QString &buttonText, int currentKey, QWidget *parent = nullptr);
    int keyCode() const { return m_code; }
    QString hint() const;

    // The code a key press gives: its virtual-key code when that is 1 to 254 and not kept for
    // Windows or the game; 0 when the key is refused.
    static int acceptedCode(int virtualKey);

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QLabel *m_hint;
    int m_code = 0;
};
