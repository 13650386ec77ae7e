#pragma once
// The dialog that offers a new launcher release: what it is, why it matters, what is new, and one
// button that updates in place. It only shows and asks; the main window drives the updater.

#include "updatedialogmodel.h"

#include <QDialog>
#include <QJsonObject>

class QLabel;
class QProgressBar;
class QPushButton;

class UpdateDialog : public QDialog {
    Q_OBJECT
public:
    // `reason`: why this launcher cannot update itself here, empty when it can.
    UpdateDialog(const QJsonObject &offer, bool required, const QString &reason, QWidget *parent = nullptr);

    const UpdateDialogModel &model() const { return m_model; }
    QPushButton *primaryButton() const { return m_primary; }
    QPushButton *secondButton() const { return m_second; }

    void showProgress(const QString &text, int percent);
    void showFailure(const QString &text);
    void showWaiting(const QString &text);

signals:
    void updateNow();
    void cancelRequested();

public slots:
    void reject() override;

private:
    void refresh();
    void openPage(const QString &url);

    UpdateDialogModel m_model;
    QLabel *m_status = nullptr;
    QProgressBar *m_bar = nullptr;
    QPushButton *m_primary = nullptr;
    QPushButton *m_second = nullptr;
};
