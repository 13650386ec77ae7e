#pragma once
#include <QString>
#include <QStringList>

class QCommandLineParser;

// The parsed command line, copied into the main window; the development fields are carried out
// by the test driver. Values of -1 (autoAcceptSeconds, cancelSearchSeconds) and 0
// (leaveLobbyInMatchSeconds, rate, dropAtResultSeconds) mean the option was not given.
struct LaunchOptions {
    QString server;
    QString fingerprint;
    QString user;
    QString passwordEnv = QStringLiteral("ORX_DEV_PASSWORD");
    bool registerAccount = false;
    bool play = false;
    QString queue;
    QString game;
    QString mode;
    QString character;
    QString page;
    int autoAcceptSeconds = -1;
    int cancelSearchSeconds = -1;
    bool localTest = false;
    QString extractImage;
    QString lobby;
    QString lobbyName;
    QString lobbyCodeFile;
    int lobbyMatches = 1;
    bool leaveLobby = false;
    int leaveLobbyInMatchSeconds = 0;
    bool koth = false;
    int rate = 0;
    QString snapDir;
    int rematches = 0;
    QStringList rematchChoices;
    bool leaveSeries = false;
    bool lobbyOwnFirst = false;
    bool upnpProbe = false;
    QString updatedFrom;
    bool autoUpdate = false;
    int dropAtResultSeconds = 0;
};

// Adds the 33 launcher options, in help order, after the standard help and version options.
void addLaunchOptions(QCommandLineParser &parser);
// Fills the record from a parser that has processed the arguments, applying each field's clamp.
LaunchOptions readLaunchOptions(const QCommandLineParser &parser);
// The --config value (empty when absent).
QString configOption(const QCommandLineParser &parser);
