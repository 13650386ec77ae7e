#pragma once
#include <QObject>
#include <QTemporaryDir>

namespace orxtest {
class ServerProcess;
}

class TestDriverRules : public QObject {
    Q_OBJECT
private slots:
    void choices_data();
    void choices();
    void encoding_data();
    void encoding();
    void defaults();
    void picking_data();
    void picking();
    void players_data();
    void players();
};

// The driver's sign-in against orx-server, and against a scripted server that drops the link
// before the answer.
class TestDriverSignIn : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void signIn_data();
    void signIn();
    void answerLostWithTheLink();

private:
    orxtest::ServerProcess *m_server = nullptr;
    QTemporaryDir m_data;
};

// The driver's flow start and lobby steps against orx-server with orx-testgame as the game.
class TestDriverFlow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void queueAndCancel();
    void hostWritesItsCode_data();
    void hostWritesItsCode();
    void gameThatCannotStart();
    void noOptionsNoSteps();

private:
    orxtest::ServerProcess *m_server = nullptr;
    QTemporaryDir m_data;
    int m_serial = 0;
};
