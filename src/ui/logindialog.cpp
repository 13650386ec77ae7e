#include "logindialog.h"

#include "accountrules.h"
#include "core/dialogs.h"
#include "net/serverclient.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

LoginDialog::LoginDialog(ServerClient *server, const QString &name, QWidget *parent)
    : QDialog(parent), m_server(server)
{
    setWindowTitle(tr("Orvex Rovivi account"));
    setModal(true);
    setMinimumWidth(420);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(12);

    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("PageTitle"));
    m_welcome = new QLabel(this);
    m_welcome->setObjectName(QStringLiteral("Welcome"));
    m_welcome->setWordWrap(true);
    m_welcome->hide();
    auto *rule = new QLabel(
        tr("Names are 3-16 letters, digits, '_' or '-'. Passwords have at least 6 characters."), this);
    rule->setObjectName(QStringLiteral("Muted"));
    rule->setWordWrap(true);

    auto *form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_name = new QLineEdit(name, this);
    m_name->setObjectName(QStringLiteral("NameField"));
    m_name->setMaxLength(16);
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("PasswordField"));
    m_password->setEchoMode(QLineEdit::Password);
    m_repeat = new QLineEdit(this);
    m_repeat->setObjectName(QStringLiteral("RepeatField"));
    m_repeat->setEchoMode(QLineEdit::Password);
    m_repeatLabel = new QLabel(tr("Repeat password"), this);
    form->addRow(tr("Name"), m_name);
    form->addRow(tr("Password"), m_password);
    form->addRow(m_repeatLabel, m_repeat);

    m_remember = new QCheckBox(tr("Remember me on this PC"), this);
    m_remember->setChecked(true);
    m_warning = new QLabel(this);
    m_warning->setObjectName(QStringLiteral("Warning"));
    m_warning->setWordWrap(true);

    auto *buttons = new QHBoxLayout;
    m_mode = new QPushButton(this);
    m_mode->setObjectName(QStringLiteral("ModeButton"));
    m_mode->setFlat(true);
    m_mode->setAutoDefault(false);
    m_action = new QPushButton(this);
    m_action->setObjectName(QStringLiteral("ActionButton"));
    m_action->setDefault(true);
    buttons->addWidget(m_mode);
    buttons->addStretch();
    buttons->addWidget(m_action);

    column->addWidget(m_title);
    column->addWidget(m_welcome);
    column->addWidget(rule);
    column->addLayout(form);
    column->addWidget(m_remember);
    column->addWidget(m_warning);
    column->addLayout(buttons);

    connect(m_mode, &QPushButton::clicked, this, [this] { setCreateMode(!m_create); });
    connect(m_action, &QPushButton::clicked, this, &LoginDialog::submit);
    if (m_server) {
        connect(m_server, &ServerClient::message, this, &LoginDialog::onMessage);
        connect(m_server, &ServerClient::stateChanged, this,
                [this](ServerClient::State state) { onServerState(int(state)); });
    }

    keepWrappedTextWhole(this);
    setCreateMode(false);
    if (!name.isEmpty())
        m_password->setFocus();
}

void LoginDialog::setCreateMode(bool create)
{
    // The warning that said the request was under way goes: so does the wait for its answer.
    forgetRequest();
    m_create = create;
    m_title->setText(create ? tr("CREATE ACCOUNT") : tr("SIGN IN"));
    m_action->setText(create ? tr("Create account") : tr("Sign in"));
    m_mode->setText(create ? tr("I already have an account") : tr("Create a new account"));
    m_repeat->setVisible(create);
    m_repeatLabel->setVisible(create);
    if (!create)
        m_welcome->hide();
    m_warning->clear();
    fitContent();
}

void LoginDialog::showWelcome()
{
    setCreateMode(true);
    m_welcome->setText(
        tr("Welcome! To play online you need an account on this server: choose a name and a password. "
           "Have one already? Choose \"I already have an account\". You can also do this later with "
           "SIGN IN on the Play page."));
    m_welcome->show();
    m_name->setFocus();
    fitContent();
}

void LoginDialog::fitContent()
{
    // Rows come and go with the mode: an open dialog grows or shrinks to them at once.
    if (isVisible())
        adjustSize();
}

QString LoginDialog::name() const
{
    return m_name->text().trimmed();
}

bool LoginDialog::remember() const
{
    return m_remember->isChecked();
}

int LoginDialog::execArmed()
{
    armScriptedDialog(this, windowTitle(), m_title->text());
    return exec();
}

void LoginDialog::warn(const QString &text)
{
    m_warning->setText(text);
}

void LoginDialog::submit()
{
    const QString account = name();
    const QString password = m_password->text();
    const QString problem = loginProblem(account, password, m_repeat->text(), m_create);
    if (!problem.isEmpty()) {
        warn(problem);
        return;
    }
    if (!m_server) {
        warn(tr("Not connected to the server. Check the address in Settings."));
        return;
    }
    if (m_server->state() == ServerClient::LoggedIn)
        m_server->logout(); // signing in as another account
    else if (m_server->state() != ServerClient::Rovivi) {
        warn(tr("Not connected to the server. Check the address in Settings."));
        return;
    }
    m_request = m_create ? m_server->registerAccount(account, password) : m_server->login(account, password);
    if (m_request < 0) {
        warn(tr("Not connected to the server. Check the address in Settings."));
        return;
    }
    m_action->setEnabled(false);
    warn(tr("Contacting the server..."));
}

void LoginDialog::forgetRequest()
{
    m_request = -1;
    m_action->setEnabled(true);
}

void LoginDialog::onServerState(int state)
{
    // A dropped link never answers: the player may try again once it is back.
    if (m_request < 0 || state == ServerClient::Rovivi || state == ServerClient::LoggedIn)
        return;
    forgetRequest();
    warn(tr("Not connected to the server. Check the address in Settings."));
}

void LoginDialog::onMessage(const QJsonObject &msg)
{
    if (m_request < 0)
        return;
    const QJsonValue id = msg.value(QStringLiteral("id"));
    if (!id.isDouble() || id.toInt() != m_request)
        return;
    forgetRequest();
    if (msg.value(QStringLiteral("type")).toString() == QLatin1String("account")) {
        m_password->clear();
        m_repeat->clear();
        accept();
        return;
    }
    warn(msg.value(QStringLiteral("message")).toString());
}
