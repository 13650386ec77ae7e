// The lobby's pure rules, case by case: codes, request fields, the King of the Hill line and the
// characters of a next match.
#include "lobbyrules.h"

#include <QJsonArray>
#include <QSet>
#include <QTest>

using namespace lobby;

class TestLobbyRules : public QObject {
    Q_OBJECT
private slots:
    void codeAlphabetHasNoLookAlikes();
    void codesComeFromTheSource();
    void codeShapes_data();
    void codeShapes();
    void wrongFieldTypes_data();
    void wrongFieldTypes();
    void createRequests_data();
    void createRequests();
    void kothLine_data();
    void kothLine();
    void king_data();
    void king();
    void nextMatchCharacters_data();
    void nextMatchCharacters();
};

void TestLobbyRules::codeAlphabetHasNoLookAlikes()
{
    const QString alphabet = QString::fromLatin1(CodeAlphabet);
    QCOMPARE(QSet<QChar>(alphabet.begin(), alphabet.end()).size(), alphabet.size());
    for (QChar c : QStringLiteral("IOL01"))
        QVERIFY2(!alphabet.contains(c), qPrintable(QString(c)));
    for (QChar c : alphabet)
        QVERIFY(c.isUpper() || c.isDigit());
}

void TestLobbyRules::codesComeFromTheSource()
{
    // Each character is the source's number within the alphabet, so every letter can come out.
    quint32 next = 0;
    QSet<QChar> seen;
    for (int i = 0; i < 10; ++i) {
        const QString code = makeCode([&next](quint32 bound) { return next++ % bound; });
        QCOMPARE(code.size(), CodeLength);
        QVERIFY(isCode(code));
        for (QChar c : code)
            seen.insert(c);
    }
    QCOMPARE(seen.size(), int(sizeof(CodeAlphabet) - 1));
    QCOMPARE(makeCode([](quint32) { return 0u; }), QString("AAAAA"));
    QCOMPARE(makeCode([](quint32 bound) { return bound - 1; }), QString("99999"));
}

void TestLobbyRules::codeShapes_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("normal");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "AB2CD"
                           << "AB2CD" << true;
    QTest::newRow("lower case and spaces") << "  ab2cd "
                                           << "AB2CD" << true;
    QTest::newRow("four") << "AB2C"
                          << "AB2C" << false;
    QTest::newRow("six") << "AB2CDE"
                         << "AB2CDE" << false;
    QTest::newRow("zero") << "AB0CD"
                          << "AB0CD" << false;
    QTest::newRow("letter o") << "ABOCD"
                              << "ABOCD" << false;
    QTest::newRow("one") << "AB1CD"
                         << "AB1CD" << false;
    QTest::newRow("letter l") << "abl2c"
                              << "ABL2C" << false;
    QTest::newRow("punctuation") << "AB-CD"
                                 << "AB-CD" << false;
    QTest::newRow("non-latin") << QString::fromUtf8("ABÄCD") << QString::fromUtf8("ABÄCD") << false;
    QTest::newRow("empty") << ""
                           << "" << false;
}

void TestLobbyRules::codeShapes()
{
    QFETCH(QString, typed);
    QFETCH(QString, normal);
    QFETCH(bool, valid);
    QCOMPARE(normalizeCode(typed), normal);
    QCOMPARE(isCode(normalizeCode(typed)), valid);
}

void TestLobbyRules::wrongFieldTypes_data()
{
    QTest::addColumn<QJsonObject>("msg");
    QTest::addColumn<QString>("wrong");
    QTest::newRow("all fit") << QJsonObject{{"a", "x"}, {"b", true}, {"c", 3}} << "";
    QTest::newRow("absent fields are fine") << QJsonObject{} << "";
    QTest::newRow("number as text") << QJsonObject{{"a", "x"}, {"c", "3"}} << "c";
    QTest::newRow("text as number") << QJsonObject{{"a", 1}} << "a";
    QTest::newRow("bool as number") << QJsonObject{{"b", 1}} << "b";
    QTest::newRow("null") << QJsonObject{{"a", QJsonValue::Null}} << "a";
    QTest::newRow("array") << QJsonObject{{"c", QJsonArray{3}}} << "c";
    QTest::newRow("the first wrong one") << QJsonObject{{"a", 1}, {"b", "no"}} << "a";
}

void TestLobbyRules::wrongFieldTypes()
{
    QFETCH(QJsonObject, msg);
    QFETCH(QString, wrong);
    QCOMPARE(wrongField(msg, {{"a", FieldKind::Text}, {"b", FieldKind::Bool}, {"c", FieldKind::Number}}),
             wrong);
}

void TestLobbyRules::createRequests_data()
{
    QTest::addColumn<QJsonObject>("msg");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("rounds");
    QTest::addColumn<QString>("name");
    QTest::newRow("defaults") << QJsonObject{} << ""
                              << "versus" << 3 << "ann's lobby";
    QTest::newRow("versus 5") << QJsonObject{{"mode", "versus"}, {"rounds", 5}, {"name", "Fri"}} << ""
                              << "versus" << 5 << "Fri";
    QTest::newRow("koth 1") << QJsonObject{{"koth", true}, {"rounds", 1}} << ""
                            << "koth" << 1 << "ann's lobby";
    QTest::newRow("practice is one round") << QJsonObject{{"mode", "sparring"}, {"rounds", 5}} << ""
                                           << "practice" << 1 << "ann's lobby";
    QTest::newRow("koth practice") << QJsonObject{{"mode", "sparring"}, {"koth", true}} << "bad_mode"
                                   << "" << 0 << "";
    QTest::newRow("offline mode") << QJsonObject{{"mode", "practice"}} << "bad_mode"
                                  << "" << 0 << "";
    QTest::newRow("rounds 2") << QJsonObject{{"rounds", 2}} << "bad_rounds"
                              << "" << 0 << "";
    QTest::newRow("rounds 3.5") << QJsonObject{{"rounds", 3.5}} << "bad_rounds"
                                << "" << 0 << "";
    QTest::newRow("rounds text") << QJsonObject{{"rounds", "3"}} << "bad_request"
                                 << "" << 0 << "";
    QTest::newRow("koth text") << QJsonObject{{"koth", "true"}} << "bad_request"
                               << "" << 0 << "";
    QTest::newRow("password 64") << QJsonObject{{"password", QString(64, 'p')}} << ""
                                 << "versus" << 3 << "ann's lobby";
    QTest::newRow("password 65") << QJsonObject{{"password", QString(65, 'p')}} << "bad_password"
                                 << "" << 0 << "";
    QTest::newRow("long name is cut") << QJsonObject{{"name", QString(40, 'n')}} << ""
                                      << "versus" << 3 << QString(32, 'n');
    QTest::newRow("white space simplified") << QJsonObject{{"name", "  a \t  b  "}} << ""
                                            << "versus" << 3 << "a b";
    QTest::newRow("only spaces") << QJsonObject{{"name", "   "}} << ""
                                 << "versus" << 3 << "ann's lobby";
}

void TestLobbyRules::createRequests()
{
    QFETCH(QJsonObject, msg);
    QFETCH(QString, code);
    CreateRequest req;
    QString message;
    QCOMPARE(parseCreate(msg, "ann", 3, req, &message), code);
    if (!code.isEmpty()) {
        QVERIFY(!message.isEmpty());
        return;
    }
    QFETCH(QString, kind);
    QFETCH(int, rounds);
    QFETCH(QString, name);
    QCOMPARE(kindName(req.kind), kind);
    QCOMPARE(req.rounds, rounds);
    QCOMPARE(req.name, name);
    QCOMPARE(req.game, QString("orx"));
    QCOMPARE(req.character, QString("-"));
}

namespace {

// "name:state" per member: "p" a player, "w" a watcher, a number the place in line.
QList<Member> membersFrom(const QStringList &spec)
{
    QList<Member> out;
    int id = 1;
    for (const QString &s : spec) {
        Member m;
        m.accountId = id++;
        m.name = s.section(':', 0, 0);
        const QString st = s.section(':', 1);
        m.spectator = st != "p";
        m.watcher = st == "w";
        m.line = st.toInt();
        m.ready = true;
        out.append(m);
    }
    return out;
}

QStringList specOf(const QList<Member> &members)
{
    QStringList out;
    for (const Member &m : members)
        out << m.name + ":" +
                   (m.watcher     ? QString("w")
                    : m.spectator ? QString::number(m.line)
                                  : QString("p"));
    return out;
}

} // namespace

void TestLobbyRules::kothLine_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("loser"); // empty: only fill the hill
    QTest::addColumn<QStringList>("after");
    QTest::newRow("loser to the back, line 1 in")
        << QStringList{"k:p", "b:p", "c:1", "d:2"} << "b" << QStringList{"k:p", "b:2", "c:p", "d:1"};
    QTest::newRow("the king loses") << QStringList{"k:p", "b:p", "c:1", "d:2"} << "k"
                                    << QStringList{"k:2", "b:p", "c:p", "d:1"};
    QTest::newRow("two alone swap nothing") << QStringList{"k:p", "b:p"} << "b" << QStringList{"k:p", "b:p"};
    QTest::newRow("watchers never get in line")
        << QStringList{"k:p", "w:w", "b:p", "c:1"} << "b" << QStringList{"k:p", "w:w", "b:1", "c:p"};
    QTest::newRow("a gone loser changes nothing")
        << QStringList{"k:p", "c:1", "d:2"} << "x" << QStringList{"k:p", "c:p", "d:1"};
    QTest::newRow("gaps close up") << QStringList{"k:p", "b:p", "c:3", "d:7"} << ""
                                   << QStringList{"k:p", "b:p", "c:1", "d:2"};
    QTest::newRow("empty hill fills from the line")
        << QStringList{"c:2", "d:1", "e:3"} << "" << QStringList{"c:p", "d:p", "e:1"};
}

void TestLobbyRules::kothLine()
{
    QFETCH(QStringList, before);
    QFETCH(QString, loser);
    QFETCH(QStringList, after);
    QList<Member> members = membersFrom(before);
    int loserId = -1;
    for (const Member &m : members) {
        if (m.name == loser)
            loserId = m.accountId;
    }
    if (loser.isEmpty())
        kothFill(members);
    else
        kothAfterMatch(members, loserId);
    QCOMPARE(specOf(members), after);
    // Whoever comes in from the line is not ready yet, and the loser neither; the king stays ready.
    for (const Member &m : members) {
        const bool cameIn = !m.spectator && !before.contains(m.name + ":p");
        const bool lost = m.name == loser;
        QCOMPARE(m.ready, !(cameIn || lost));
    }
    QVERIFY(playerCount(members) <= VersusPlayers);
}

void TestLobbyRules::king_data()
{
    // Members as in kothLine; the king is named by its place (1 = the first member), 0 for none.
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<int>("king");
    QTest::addColumn<int>("after");
    QTest::newRow("king on the hill stays") << QStringList{"a:p", "b:p", "c:1"} << 2 << 2;
    QTest::newRow("king went to the line") << QStringList{"a:1", "b:p", "c:p"} << 1 << 2;
    QTest::newRow("king gone") << QStringList{"b:p", "c:p"} << 7 << 1;
    QTest::newRow("nobody on the hill") << QStringList{"a:1", "w:w"} << 1 << 0;
}

void TestLobbyRules::king()
{
    QFETCH(QStringList, members);
    QFETCH(int, king);
    QFETCH(int, after);
    const QList<Member> list = membersFrom(members);
    QCOMPARE(kingOf(list, king), after == 0 ? -1 : after);
}

void TestLobbyRules::nextMatchCharacters_data()
{
    QTest::addColumn<QStringList>("last");
    QTest::addColumn<int>("winner");
    QTest::addColumn<QStringList>("choices");
    QTest::addColumn<bool>("keepWinner");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<int>("keep");
    const QStringList kb{"Kaede", "Brom"};
    QTest::newRow("loser 2 rematch") << kb << 1 << QStringList{"select", "rematch"} << false << kb << 0;
    QTest::newRow("loser 2 select") << kb << 1 << QStringList{"rematch", "select"} << false
                                    << QStringList{"-", "-"} << 0;
    QTest::newRow("loser 1 decides") << kb << 2 << QStringList{"rematch", "select"} << false << kb << 0;
    QTest::newRow("draw: side 1 decides")
        << kb << 0 << QStringList{"select", "rematch"} << false << QStringList{"-", "-"} << 0;
    QTest::newRow("ranked winner keeps")
        << kb << 1 << QStringList{"select", "select"} << true << QStringList{"Kaede", "-"} << 1;
    QTest::newRow("ranked rematch keeps both")
        << kb << 2 << QStringList{"rematch", "select"} << true << kb << 2;
    QTest::newRow("unknown last falls back")
        << QStringList{"-", ""} << 1 << QStringList{"", "rematch"} << false << QStringList{"Fa", "Fb"} << 0;
}

void TestLobbyRules::nextMatchCharacters()
{
    QFETCH(QStringList, last);
    QFETCH(int, winner);
    QFETCH(QStringList, choices);
    QFETCH(bool, keepWinner);
    QFETCH(QStringList, out);
    QFETCH(int, keep);
    const QString lastA[2] = {last[0], last[1]}, fallback[2] = {"Fa", "Fb"},
                  choice[2] = {choices[0], choices[1]};
    QString got[2];
    int gotKeep = -1;
    nextCharacters(lastA, fallback, winner, choice, keepWinner, got, &gotKeep);
    QCOMPARE(QStringList({got[0], got[1]}), out);
    QCOMPARE(gotKeep, keep);
}

QTEST_GUILESS_MAIN(TestLobbyRules)
#include "tst_lobbyrules.moc"
