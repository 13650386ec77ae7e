#pragma once
// Ties each Settings control once to its settings key: the control shows the value its typed
// accessor gives (with the key's default and reading rule), and only then is its change signal
// connected, so showing a value never writes it back. Each control is named after its key.

#include "core/cfg.h"

#include <QObject>
#include <functional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

class SettingsBinder : public QObject {
    Q_OBJECT
public:
    using Store = std::function<void(const QVariant &data)>;

    explicit SettingsBinder(QObject *parent = nullptr) : QObject(parent) {}

    // Stored on toggle.
    void check(QCheckBox *box, const cfg::Key &key, bool current, std::function<void(bool)> after = {});
    // The entry whose data equals `current` is selected, else `fallbackIndex`; the entry's data is
    // stored (through `store` when given) when the player picks another.
    void combo(QComboBox *combo, const cfg::Key &key, const QVariant &current, int fallbackIndex,
               Store store = {});
    // A combo filled and selected by its owner; only the storing is bound.
    void comboFilled(QComboBox *combo, const cfg::Key &key, Store store = {});
    // `whenFinished`: stored when editing finishes or an arrow steps it, never per keystroke.
    void spin(QSpinBox *spin, const cfg::Key &key, int current, bool whenFinished,
              std::function<void(int)> after = {});
    // Stored when editing finishes; `keyName` is the full name (per-game keys already filled in).
    void text(QLineEdit *edit, const QString &keyName, const QString &current);

    // cfg::set, reporting a failed write through writeFailed and a good one through stored.
    bool store(const QString &keyName, const QVariant &value);

signals:
    void stored(const QString &keyName);
    void writeFailed(const QString &error);
};
