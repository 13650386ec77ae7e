#pragma once
#include <QObject>
#include <QTemporaryDir>

class TestGameData : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void shippedDefinition();
    void rosterAndCharacters();
    void demoReleaseMatchesDefinition();
    void missingDefinition();
    void syntaxError();
    void defaultsAndWrongTypes();
    void notPlayableReplacesNames();
    void defaultExecutableLookup();
    void regionTable();
    // identity checks (tst_checks.cpp)
    void executableAccepted_data();
    void executableAccepted();
    void executableDescriptions_data();
    void executableDescriptions();
    void executableFullMessage();
    void titleUpdateMessages_data();
    void titleUpdateMessages();
    void updateNeededText();
    void placeholdersFilledOnce();

private:
    QString writeDefinition(const QByteArray &json);
    QTemporaryDir m_dir;
};
