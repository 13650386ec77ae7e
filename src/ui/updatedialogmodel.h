#pragma once
// What the update dialog shows and what its two buttons do, without widgets, so every state and
// explanation tests as a table. UpdateDialog puts it on the screen and carries out the actions.

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>

class UpdateDialogModel {
    Q_DECLARE_TR_FUNCTIONS(UpdateDialog)
public:
    enum class State { Idle, Working, Waiting, Failed, Cancelled };
    enum class Action { None, UpdateNow, OpenPage, Cancel, Close };

    // `reason`: why this launcher cannot update itself (empty when it can). `testBuild`: the offer is
    // this very version with another build; `ownBuild` is this launcher's build label.
    UpdateDialogModel(const QJsonObject &offer, bool required, const QString &reason, bool testBuild,
                      const QString &ownBuild);

    State state() const { return m_state; }
    bool working() const { return m_state == State::Working || m_state == State::Waiting; }

    QString windowTitle() const;
    QString heading() const;
    QString versionText() const;
    QString explanation() const;
    QString notes() const;
    // Rich text: an https page only, escaped, since it comes from the server.
    QString linkHtml() const;
    QString status() const { return m_status; }
    QString primaryText() const { return m_primary; }
    bool primaryEnabled() const { return m_primaryEnabled; }
    QString secondText() const { return m_second; }
    bool barVisible() const { return m_barVisible; }
    // A moving bar (range 0 to 0) for progress without a known fraction.
    bool barBusy() const { return m_barBusy; }
    int barValue() const { return m_barValue; }
    // The page OPEN THE DOWNLOAD PAGE opens; empty when it is not an http or https address.
    QString page() const;
    // The page as the server sent it.
    QString offeredPage() const { return m_offer.value(QStringLiteral("page")).toString(); }

    Action primaryClicked();
    Action secondClicked();
    // The window was closed (or Escape pressed): while working this cancels the update.
    Action closed();

    void showProgress(const QString &text, int percent);
    void showFailure(const QString &text);
    void showWaiting(const QString &text);

    // Whether a server-sent address may be handed to the desktop: web pages only, since a file:,
    // UNC or other scheme could start a program.
    static bool isWebPage(const QString &url);

private:
    void toIdle();
    void enterWorking();

    QJsonObject m_offer;
    bool m_required;
    QString m_reason;
    bool m_testBuild;
    QString m_ownBuild;
    State m_state = State::Idle;
    QString m_status;
    QString m_primary;
    bool m_primaryEnabled = true;
    QString m_second;
    bool m_barVisible = false;
    bool m_barBusy = false;
    int m_barValue = 0;
};
