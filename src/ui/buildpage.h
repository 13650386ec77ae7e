#pragma once
// The Build game page: the player hands in their disc image, title update and downloadable content,
// starts the build and follows it. The build itself is BuildPipeline's; the page only drives it
// and shows what it reports.

#include "ui/page.h"

#include <QStringList>

class BuildPipeline;
class LogView;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class BuildPage : public Page {
    Q_OBJECT
public:
    explicit BuildPage(QWidget *parent = nullptr);

    // Ignored while busy: stores the id, fills the fields and the DLC list from the settings.
    void setGame(const QString &gameId) override;
    // A disc image handed in by the main window (--extract): put in the field, and the build starts.
    void extractImage(const QString &imagePath);

    void startBuild();
    void compileGame();
    void cancel();
    bool isBusy() const;
    BuildPipeline *pipeline() const { return m_pipeline; }
    QStringList dlcPackages() const { return m_dlc; }

signals:
    void busyChanged(bool busy);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refreshSummary();
    void refreshDlcLabel();
    void setInputsEnabled(bool enabled);
    void pickImage();
    // Returns true when a file was chosen (and stored).
    bool pickUpdate();
    void addDlc();
    void askForTitleUpdate(const QString &text);
    void store(const QString &keyName, const QVariant &value);

    BuildPipeline *m_pipeline = nullptr;
    bool m_hashing = false; // the title update's files are being hashed for the summary
    QLabel *m_alert;
    QLabel *m_title;
    QLabel *m_gameInfo;
    QLabel *m_disc;
    QLabel *m_update;
    QLabel *m_dlcSummary;
    QLabel *m_exe;
    QLabel *m_stepTwo;
    QLineEdit *m_imageField;
    QLineEdit *m_updateField;
    QLabel *m_dlcLabel;
    QList<QPushButton *> m_inputs; // disabled while busy
    QPushButton *m_cancel;
    QProgressBar *m_progress;
    LogView *m_log;
    QStringList m_dlc;
};
