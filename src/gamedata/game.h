#pragma once
// One game's definition as read from its JSON document: the release it is built from, the title
// updates, the online modes and the roster, with the identity checks that word what is wrong.

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

struct TitleUpdate {
    int number = 0;
    QString package;
    QString packageNote;
    QString xexpSha1;
    QString fromVersion;
    QString toVersion;
    QMap<QString, QString> files; // file name in the update folder -> SHA-1 hex (empty: must exist)

    // "title update 3"
    QString label() const;
};

struct GameMode {
    QString id;
    QString name;
    QString description;
    QString roster;
    QString characterSelect = QStringLiteral("launcher");
    bool online = false;
    bool ranked = false;
    QList<int> rounds;
    int defaultRounds = 3;
    bool lobbyOnly = false;
};

struct RosterEntry {
    QString id;
    QString name;
    bool secret = false;
    int gameId = -1; // the game's own character number
};

struct Game {
    Q_DECLARE_TR_FUNCTIONS(Game)

public:
    QString id;
    QString title;
    QString shortName;
    QString edition;
    QString titleId;
    QString mediaId;
    QString defaultExe;
    QString xexSha1;
    QString xexVersion;
    QString discName;
    QString discSha1;
    TitleUpdate titleUpdate;
    QList<TitleUpdate> olderTitleUpdates;
    QString notes;
    QList<GameMode> modes;
    QMap<QString, QList<RosterEntry>> rosters;
    QStringList notPlayableLines;
    QMap<int, QString> characterNames;

    const GameMode *mode(const QString &modeId) const;

    // Empty when `xex` is this release's default.xex, otherwise the full message for the player.
    QString checkExecutable(const QByteArray &xex) const;
    // The message for a title update whose default.xexp is not the current one. `subject` starts
    // the sentence ("The title update on this PC is"); `foundVersion` is the version the found
    // update produces, empty when unknown.
    QString checkTitleUpdate(const QString &subject, const QString &foundSha1,
                             const QString &foundVersion) const;
    // Which update is needed and where the console keeps it.
    QString updateNeededText() const;

    // Reads a definition document; fields of the wrong type read as their defaults.
    static Game fromJson(const QJsonObject &object);
};
