#include "ui/settingsbinder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>

namespace {

QString nameOf(const cfg::Key &key)
{
    return QString::fromLatin1(key.name);
}

} // namespace

bool SettingsBinder::store(const QString &keyName, const QVariant &value)
{
    QString error;
    if (!cfg::set(keyName, value, &error)) {
        emit writeFailed(error);
        return false;
    }
    emit stored(keyName);
    return true;
}

void SettingsBinder::check(QCheckBox *box, const cfg::Key &key, bool current, std::function<void(bool)> after)
{
    box->setObjectName(nameOf(key));
    box->setChecked(current);
    connect(box, &QCheckBox::toggled, this, [this, name = nameOf(key), after](bool on) {
        store(name, on);
        if (after)
            after(on);
    });
}

void SettingsBinder::combo(QComboBox *combo, const cfg::Key &key, const QVariant &current, int fallbackIndex,
                           Store storeWith)
{
    const int index = combo->findData(current);
    combo->setCurrentIndex(index >= 0 ? index : fallbackIndex);
    comboFilled(combo, key, std::move(storeWith));
}

void SettingsBinder::comboFilled(QComboBox *combo, const cfg::Key &key, Store storeWith)
{
    combo->setObjectName(nameOf(key));
    connect(combo, &QComboBox::currentIndexChanged, this,
            [this, combo, name = nameOf(key), storeWith = std::move(storeWith)](int index) {
                if (index < 0)
                    return;
                const QVariant data = combo->itemData(index);
                if (storeWith)
                    storeWith(data);
                else
                    store(name, data);
            });
}

void SettingsBinder::spin(QSpinBox *spin, const cfg::Key &key, int current, bool whenFinished,
                          std::function<void(int)> after)
{
    spin->setObjectName(nameOf(key));
    spin->setValue(current);
    // Without keyboard tracking the value changes only when editing finishes or a step is taken:
    // typing 12345 never passes through 1, 12, 123, 1234.
    spin->setKeyboardTracking(!whenFinished);
    connect(spin, &QSpinBox::valueChanged, this, [this, name = nameOf(key), after](int value) {
        store(name, value);
        if (after)
            after(value);
    });
}

void SettingsBinder::text(QLineEdit *edit, const QString &keyName, const QString &current)
{
    edit->setObjectName(keyName);
    edit->setText(current);
    connect(edit, &QLineEdit::editingFinished, this, [this, edit, keyName] {
        if (edit->isModified()) {
            store(keyName, edit->text());
            edit->setModified(false);
        }
    });
}
