#pragma once
// The modal dialog in which the player signs in or creates an account. It checks the fields,
// sends the request, waits for the answer to that very request and closes on success.

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class ServerClient;

class LoginDialog : public QDialog {
    Q_OBJECT
public:
    LoginDialog(ServerClient *server, const QString &name, QWidget *parent = nullptr);

    void setCreateMode(bool create);
    bool isCreateMode() const { return m_create; }
    void showWelcome();
    QString name() const;
    bool remember() const;
    // The id of the request waited for, -1 for none.
    int pendingRequest() const { return m_request; }

    // Runs the dialog modally, armed so a scripted run never hangs on it.
    int execArmed();

private:
    void submit();
    void onMessage(const QJsonObject &msg);
    void onServerState(int state);
    void forgetRequest();
    void warn(const QString &text);
    void fitContent();

    ServerClient *m_server = nullptr;
    bool m_create = false;
    int m_request = -1;
    QLabel *m_title = nullptr;
    QLabel *m_welcome = nullptr;
    QLineEdit *m_name = nullptr;
    QLineEdit *m_password = nullptr;
    QLabel *m_repeatLabel = nullptr;
    QLineEdit *m_repeat = nullptr;
    QCheckBox *m_remember = nullptr;
    QLabel *m_warning = nullptr;
    QPushButton *m_mode = nullptr;
    QPushButton *m_action = nullptr;
};
