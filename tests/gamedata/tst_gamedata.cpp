#include "tst_gamedata.h"

#include "core/cfg.h"
#include "gamedata/region.h"
#include "gamedata/registry.h"
#include "testutil.h"
#include "x360/disc.h"
#include "x360/package.h"
#include "x360/xex.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>
#include <QSet>
#include <QTest>

namespace {

const Game &loadedGame()
{
    static const Game empty;
    const Game *game = GameRegistry::instance().find(QStringLiteral("orx"));
    return game ? *game : empty;
}

QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

} // namespace

void TestGameData::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qunsetenv("ORX_GAME_DEFINITION");
}

void TestGameData::cleanup()
{
    qunsetenv("ORX_GAME_DEFINITION");
}

QString TestGameData::writeDefinition(const QByteArray &json)
{
    static int counter = 0;
    const QString path = m_dir.filePath(QStringLiteral("definition-%1.json").arg(++counter));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size())
        return QString();
    return path;
}

void TestGameData::shippedDefinition()
{
    QString error;
    QVERIFY2(GameRegistry::load(&error), qPrintable(error));
    QCOMPARE(GameRegistry::instance().games().size(), 1);
    QVERIFY(!GameRegistry::instance().find(QStringLiteral("ORX"))); // ids compare exactly
    const Game &game = loadedGame();
    QCOMPARE(game.id, QStringLiteral("orx"));
    QCOMPARE(game.title, QStringLiteral("Ironmere IV"));
    QCOMPARE(game.shortName, QStringLiteral("Orvex"));
    QCOMPARE(game.edition, QStringLiteral("Xbox 360, World"));
    QCOMPARE(game.titleId, QStringLiteral("5D3A0F21"));
    QCOMPARE(game.mediaId, QStringLiteral("2C71E9B0"));
    QCOMPARE(game.defaultExe, QStringLiteral("orx.exe"));
    QCOMPARE(game.xexVersion, QStringLiteral("0.0.0.2"));
    QCOMPARE(game.xexSha1.size(), 40);
    QCOMPARE(game.titleUpdate.number, 3);
    QCOMPARE(game.titleUpdate.label(), QStringLiteral("title update 3"));
    QCOMPARE(game.titleUpdate.fromVersion, QStringLiteral("0.0.0.2"));
    QCOMPARE(game.titleUpdate.toVersion, QStringLiteral("0.0.3.2"));
    QVERIFY(game.titleUpdate.package.endsWith(QLatin1String("O2")));
    QCOMPARE(game.titleUpdate.files.keys(), (QStringList{"default.xexp", "patch.cpk"}));
    QCOMPARE(game.olderTitleUpdates.size(), 1);
    QCOMPARE(game.olderTitleUpdates[0].number, 1);
    QCOMPARE(game.olderTitleUpdates[0].toVersion, QStringLiteral("0.0.1.2"));

    QCOMPARE(game.modes.size(), 3);
    const GameMode *versus = game.mode(QStringLiteral("versus"));
    QVERIFY(versus);
    QCOMPARE(versus->name, QStringLiteral("Versus"));
    QVERIFY(versus->online && versus->ranked && !versus->lobbyOnly);
    QCOMPARE(versus->rounds, (QList<int>{1, 3, 5}));
    QCOMPARE(versus->defaultRounds, 3);
    QCOMPARE(versus->description,
             QStringLiteral("One-on-one fight, best of three rounds by default. Pick your "
                            "character here or on the game's own select screen."));
    const GameMode &sparring = game.modes[1];
    QCOMPARE(sparring.id, QStringLiteral("sparring"));
    QCOMPARE(sparring.name, QStringLiteral("Rovivi Practice"));
    QVERIFY(sparring.online && !sparring.ranked && sparring.lobbyOnly);
    QCOMPARE(sparring.rounds, QList<int>{1});
    QCOMPARE(sparring.defaultRounds, 1);
    QCOMPARE(sparring.description,
             QStringLiteral(
                 "Practice with a friend through a lobby's code: no timer, health refills, nobody is "
                 "knocked out, and BACK in the game goes back to character select. Nothing is recorded."));
    const GameMode &practice = game.modes[2];
    QCOMPARE(practice.id, QStringLiteral("practice"));
    QVERIFY(!practice.online && !practice.ranked && !practice.lobbyOnly);
    QCOMPARE(practice.description, QStringLiteral("Offline training on this PC."));
    for (const GameMode &mode : game.modes) {
        QCOMPARE(mode.roster, QStringLiteral("characters"));
        QCOMPARE(mode.characterSelect, QStringLiteral("launcher"));
    }
    QVERIFY(!game.mode(QStringLiteral("Versus")));
}

void TestGameData::rosterAndCharacters()
{
    QString error;
    QVERIFY(GameRegistry::load(&error));
    const Game &game = loadedGame();
    QCOMPARE(game.rosters.keys(), QStringList{"characters"});
    const QList<RosterEntry> &roster = game.rosters.value(QStringLiteral("characters"));
    QCOMPARE(roster.size(), 27);
    QSet<int> ids;
    QSet<QString> names;
    int secret = 0;
    for (const RosterEntry &entry : roster) {
        ids.insert(entry.gameId);
        names.insert(entry.id);
        secret += entry.secret ? 1 : 0;
    }
    QSet<int> expected{31};
    for (int i = 0; i <= 26; ++i)
        expected.insert(i);
    expected.remove(13);
    QCOMPARE(ids, expected);
    QCOMPARE(names.size(), 27);
    QCOMPARE(secret, 6);
    QCOMPARE(game.notPlayableLines.size(), 1);
    const QString dlcName = game.characterNames.value(13);
    QVERIFY(!dlcName.isEmpty());
    QCOMPARE(game.notPlayableLines[0],
             dlcName +
                 QStringLiteral(
                     ": downloadable character: only with the player's own DLC package, picked in the game"));
    QCOMPARE(game.characterNames.size(), 28);
}

void TestGameData::demoReleaseMatchesDefinition()
{
    // The shipped identity values are those of the demo release: generate it and compare.
    QString error;
    QVERIFY(GameRegistry::load(&error));
    const Game &game = loadedGame();
    const QString dir = m_dir.filePath(QStringLiteral("demo"));
    QProcess tool;
    tool.start(testutil::binary(QStringLiteral("orx-x360")), {"make-demo", dir});
    QVERIFY(tool.waitForFinished(120000));
    QCOMPARE(tool.exitCode(), 0);

    const QString discPath = dir + u'/' + game.discName;
    QFile disc(discPath);
    QVERIFY(disc.open(QIODevice::ReadOnly));
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QVERIFY(hash.addData(&disc));
    QCOMPARE(QString::fromLatin1(hash.result().toHex()), game.discSha1);

    x360::Disc image;
    QVERIFY2(image.open(discPath, &error), qPrintable(error));
    QCOMPARE(image.partitionName(), QStringLiteral("Xbox 360 XGD2 disc"));
    QByteArray xex;
    QVERIFY(image.read(*image.find(QStringLiteral("default.xex")), &xex, &error));
    QCOMPARE(sha1Hex(xex), game.xexSha1);
    QCOMPARE(game.checkExecutable(xex), QString());

    QList<const TitleUpdate *> updates{&game.titleUpdate};
    for (const TitleUpdate &older : game.olderTitleUpdates)
        updates.append(&older);
    for (const TitleUpdate *update : updates) {
        x360::Package package;
        QVERIFY2(package.open(dir + u'/' + update->package, &error), qPrintable(error));
        QCOMPARE(package.contentType, 0xB0000u);
        QCOMPARE(package.magic, QStringLiteral("LIVE"));
        for (auto it = update->files.begin(); it != update->files.end(); ++it) {
            QByteArray bytes;
            QVERIFY(package.read(*package.find(it.key()), &bytes, &error));
            QCOMPARE(sha1Hex(bytes), it.value());
        }
        QByteArray xexp;
        QVERIFY(package.read(*package.find(QStringLiteral("default.xexp")), &xexp, &error));
        QCOMPARE(sha1Hex(xexp), update->xexpSha1);
        x360::XexInfo info;
        QVERIFY(x360::readXex(xexp, &info, &error));
        QCOMPARE(x360::versionText(info.patchSourceVersion), update->fromVersion);
        QCOMPARE(x360::versionText(info.patchTargetVersion), update->toVersion);
    }
}

void TestGameData::missingDefinition()
{
    const QString path = m_dir.filePath(QStringLiteral("nowhere.json"));
    qputenv("ORX_GAME_DEFINITION", path.toLocal8Bit());
    QString error;
    QVERIFY(!GameRegistry::load(&error));
    QCOMPARE(error, QStringLiteral("missing game data %1").arg(path));
    QVERIFY(GameRegistry::instance().games().isEmpty());
}

void TestGameData::syntaxError()
{
    const QByteArray text = "{\"id\": \"orx\",, }";
    const QString path = writeDefinition(text);
    qputenv("ORX_GAME_DEFINITION", path.toLocal8Bit());
    QJsonParseError expected;
    QJsonDocument::fromJson(text, &expected);
    QString error;
    QVERIFY(!GameRegistry::load(&error));
    QCOMPARE(error, QStringLiteral("%1: %2").arg(path, expected.errorString()));
}

void TestGameData::defaultsAndWrongTypes()
{
    const QString path = writeDefinition(R"({
        "id": "orx", "title": 5, "xex_sha1": ["x"], "title_update": "no", "older_title_updates": {},
        "sources": ["ignored"],
        "modes": [{"id": "m", "rounds": [1, "two", 5], "online": "yes", "character_select": 1},
                  {"id": "n", "default_rounds": "4", "rounds": [1, 5]}, 7],
        "rosters": {"b": [{"id": "x", "name": "X"}], "a": [{"id": "y", "name": "Y", "game_id": 2, "secret": 1}]},
        "not_playable": [{"name": "Z", "note": "n"}]
    })");
    qputenv("ORX_GAME_DEFINITION", path.toLocal8Bit());
    QString error;
    QVERIFY2(GameRegistry::load(&error), qPrintable(error));
    const Game &game = loadedGame();
    QCOMPARE(game.title, QString());
    QCOMPARE(game.xexSha1, QString());
    QCOMPARE(game.titleUpdate.number, 0);
    QVERIFY(game.titleUpdate.files.isEmpty());
    QVERIFY(game.olderTitleUpdates.isEmpty());
    QCOMPARE(game.modes.size(), 3);
    QCOMPARE(game.modes[0].rounds, (QList<int>{1, 0, 5}));
    QCOMPARE(game.modes[0].online, false);
    QCOMPARE(game.modes[0].characterSelect, QStringLiteral("launcher"));
    QCOMPARE(game.modes[0].defaultRounds, 3);
    QCOMPARE(game.modes[1].defaultRounds, 3); // not in its rounds list, still the default
    QCOMPARE(game.modes[2].id, QString());
    QCOMPARE(game.rosters.keys(), (QStringList{"a", "b"}));
    QCOMPARE(game.rosters.value("b").size(), 1);
    QCOMPARE(game.rosters.value("b")[0].gameId, -1);
    QCOMPARE(game.rosters.value("a")[0].secret, false);
    QCOMPARE(game.characterNames, (QMap<int, QString>{{2, "Y"}})); // no game id: no name
    QCOMPARE(game.notPlayableLines, QStringList{"Z: n"});
    // An empty "xex_sha1" accepts any executable.
    QCOMPARE(game.checkExecutable("anything"), QString());
}

void TestGameData::notPlayableReplacesNames()
{
    const QString path = writeDefinition(R"({"id": "orx",
        "rosters": {"characters": [{"id": "a", "name": "First", "game_id": 4}, {"id": "b", "name": "Second", "game_id": 4},
                                   {"id": "c", "name": "Kept", "game_id": 5}]},
        "not_playable": [{"name": "Guest", "game_id": 5, "note": "dlc"}, {"name": "Nobody", "note": "cut"}]})");
    qputenv("ORX_GAME_DEFINITION", path.toLocal8Bit());
    QString error;
    QVERIFY(GameRegistry::load(&error));
    const Game &game = loadedGame();
    QCOMPARE(game.characterNames, (QMap<int, QString>{{4, "Second"}, {5, "Guest"}}));
    QCOMPARE(game.notPlayableLines, (QStringList{"Guest: dlc", "Nobody: cut"}));
}

void TestGameData::defaultExecutableLookup()
{
    const QString path = writeDefinition(R"({"id": "orx", "default_exe": "custom-name.exe"})");
    qputenv("ORX_GAME_DEFINITION", path.toLocal8Bit());
    QString error;
    QVERIFY(GameRegistry::load(&error));
    QVERIFY2(cfg::gameExe(QStringLiteral("orx")).endsWith(QLatin1String("/custom-name.exe")),
             qPrintable(cfg::gameExe(QStringLiteral("orx"))));
    qunsetenv("ORX_GAME_DEFINITION");
    QVERIFY(GameRegistry::load(&error));
    QVERIFY(cfg::gameExe(QStringLiteral("orx")).endsWith(QLatin1String("/orx.exe")));
}

void TestGameData::regionTable()
{
    const QList<Region> &table = regions();
    QStringList rows;
    for (const Region &region : table)
        rows.append(region.code + u'=' + region.name);
    QCOMPARE(rows, (QStringList{"na=North America", "sa=South America", "eu=Europe", "me=Middle East",
                                "af=Africa", "as=Asia", "oc=Oceania"}));
    QCOMPARE(&regions(), &table); // built once
}
