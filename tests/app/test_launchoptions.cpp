#include "app/launchoptions.h"

#include <QCommandLineParser>
#include <QtTest>

namespace {
LaunchOptions parse(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    addLaunchOptions(parser);
    if (!parser.parse(QStringList{QStringLiteral("orx-launcher")} + args))
        qFatal("parse failed: %s", qPrintable(parser.errorText()));
    return readLaunchOptions(parser);
}
} // namespace

class TestLaunchOptions : public QObject {
    Q_OBJECT
private slots:
    void defaultsWhenAbsent()
    {
        const LaunchOptions o = parse({});
        QCOMPARE(o.passwordEnv, QStringLiteral("ORX_DEV_PASSWORD"));
        QCOMPARE(o.autoAcceptSeconds, -1);
        QCOMPARE(o.cancelSearchSeconds, -1);
        QCOMPARE(o.lobbyMatches, 1);
        QCOMPARE(o.leaveLobbyInMatchSeconds, 0);
        QCOMPARE(o.rate, 0);
        QCOMPARE(o.rematches, 0);
        QCOMPARE(o.dropAtResultSeconds, 0);
        QVERIFY(o.rematchChoices.isEmpty());
        QVERIFY(!o.play && !o.registerAccount && !o.localTest && !o.koth && !o.upnpProbe && !o.autoUpdate);
        QVERIFY(o.server.isEmpty() && o.page.isEmpty() && o.updatedFrom.isEmpty());
    }

    void clamps_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("expected");
        QTest::newRow("rate 0") << QStringList{"--rate", "0"} << "rate" << 1;
        QTest::newRow("rate 42") << QStringList{"--rate", "42"} << "rate" << 10;
        QTest::newRow("rate 7") << QStringList{"--rate", "7"} << "rate" << 7;
        QTest::newRow("rate text") << QStringList{"--rate", "high"} << "rate" << 1;
        QTest::newRow("rematches -3") << QStringList{"--rematches", "-3"} << "rematches" << 0;
        QTest::newRow("rematches 2") << QStringList{"--rematches", "2"} << "rematches" << 2;
        QTest::newRow("cancel-search -5") << QStringList{"--cancel-search", "-5"} << "cancelSearch" << 0;
        QTest::newRow("cancel-search 9") << QStringList{"--cancel-search", "9"} << "cancelSearch" << 9;
        QTest::newRow("lobby-matches 0") << QStringList{"--lobby-matches", "0"} << "lobbyMatches" << 1;
        QTest::newRow("lobby-matches text") << QStringList{"--lobby-matches", "x"} << "lobbyMatches" << 1;
        QTest::newRow("lobby-matches 3") << QStringList{"--lobby-matches", "3"} << "lobbyMatches" << 3;
        QTest::newRow("auto-accept as typed") << QStringList{"--auto-accept", "-4"} << "autoAccept" << -4;
        QTest::newRow("leave-lobby-in-match 0")
            << QStringList{"--leave-lobby-in-match", "0"} << "leaveInMatch" << 1;
        QTest::newRow("drop-at-result -1") << QStringList{"--drop-at-result", "-1"} << "dropAtResult" << 1;
        QTest::newRow("drop-at-result 4") << QStringList{"--drop-at-result", "4"} << "dropAtResult" << 4;
    }
    void clamps()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, field);
        QFETCH(int, expected);
        const LaunchOptions o = parse(args);
        const QHash<QString, int> got{{"rate", o.rate},
                                      {"rematches", o.rematches},
                                      {"cancelSearch", o.cancelSearchSeconds},
                                      {"lobbyMatches", o.lobbyMatches},
                                      {"autoAccept", o.autoAcceptSeconds},
                                      {"leaveInMatch", o.leaveLobbyInMatchSeconds},
                                      {"dropAtResult", o.dropAtResultSeconds}};
        QCOMPARE(got.value(field), expected);
    }

    void textsAndLists()
    {
        const LaunchOptions o =
            parse({"--rematch-choice", "select,,rematch", "--server", " tls://h:1 ", "--user", "Ann",
                   "--password-env", "PW", "--queue", "ranked", "--register", "--play", "--koth", "--updated",
                   "0.1.7", "--page", "Settings"});
        QCOMPARE(o.rematchChoices, (QStringList{"select", "rematch"}));
        QCOMPARE(o.server, QStringLiteral(" tls://h:1 ")); // used exactly as typed
        QCOMPARE(o.user, QStringLiteral("Ann"));
        QCOMPARE(o.passwordEnv, QStringLiteral("PW"));
        QCOMPARE(o.queue, QStringLiteral("ranked"));
        QCOMPARE(o.updatedFrom, QStringLiteral("0.1.7"));
        QCOMPARE(o.page, QStringLiteral("Settings"));
        QVERIFY(o.registerAccount && o.play && o.koth);
    }
};

QTEST_GUILESS_MAIN(TestLaunchOptions)
#include "test_launchoptions.moc"
