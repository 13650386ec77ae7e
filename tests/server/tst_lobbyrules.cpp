// The lobby's pure rules, case by case: codes, request fields, the King of the Hill line and the
// characters of a next match; and the spectator feed's framing, Base64 and chunking.
#include "feedrules.h"
#include "lobbyrules.h"
#include "matchrules.h"
#include "ratelimit.h"

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
    void feedFraming_data();
    void feedFraming();
    void feedChunks_data();
    void feedChunks();
    void rateRules_data();
    void rateRules();
    void rateBuckets();
    void feedBase64_data();
    void feedBase64();
    void addressKeys_data();
    void addressKeys();
    void connectionBucketPerKey();
    void resultReports_data();
    void resultReports();
    void rttClamp_data();
    void rttClamp();
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
    QTest::newRow("line breaks are blanks") << QJsonObject{{"name", "Friday\r\nnight"}} << ""
                                            << "versus" << 3 << "Friday night";
    QTest::newRow("control character") << QJsonObject{{"name", QString("Fri\x01"
                                                                       "day")}}
                                       << "bad_name"
                                       << "" << 0 << "";
    QTest::newRow("escape") << QJsonObject{{"name", QString("\x1b[31mred")}} << "bad_name"
                            << "" << 0 << "";
    QTest::newRow("delete") << QJsonObject{{"name", QString("Fri") + QChar(0x7f)}} << "bad_name"
                            << "" << 0 << "";
    QTest::newRow("C1 control") << QJsonObject{{"name", QString("Fri") + QChar(0x90) + "day"}} << "bad_name"
                                << "" << 0 << "";
    QTest::newRow("letters of any language") << QJsonObject{{"name", QString::fromUtf8("Café ночь 夜")}} << ""
                                             << "versus" << 3 << QString::fromUtf8("Café ночь 夜");
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

namespace {

// One feed record: the 16-bit little-endian length, then len bytes of fill.
QByteArray record(int len, char fill = 'r')
{
    QByteArray r;
    r.append(char(len & 0xff));
    r.append(char((len >> 8) & 0xff));
    r.append(QByteArray(len, fill));
    return r;
}

QByteArray records(const QList<int> &lens)
{
    QByteArray out;
    char fill = 'a';
    for (int len : lens)
        out += record(len, fill++);
    return out;
}

} // namespace

void TestLobbyRules::feedFraming_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<int>("largest");
    QTest::newRow("nothing") << QByteArray() << false << 0;
    QTest::newRow("one record") << record(5) << true << 5;
    QTest::newRow("an empty record") << record(0) << true << 0;
    QTest::newRow("three records") << records({3, 300, 7}) << true << 300;
    QTest::newRow("the longest record") << record(65535) << true << 65535;
    QTest::newRow("a lone length byte") << QByteArray(1, '\x05') << false << 0;
    QTest::newRow("a length without its bytes") << QByteArray("\x05\x00", 2) << false << 0;
    QTest::newRow("a short body") << record(5).left(6) << false << 0;
    QTest::newRow("a record and half a length") << record(4) + QByteArray(1, '\x01') << false << 4;
    QTest::newRow("a record and a short one") << records({4, 9}).chopped(1) << false << 4;
    QTest::newRow("one byte too many") << record(4) + "x" << false << 4;
}

void TestLobbyRules::feedFraming()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, whole);
    QFETCH(int, largest);
    QCOMPARE(feed::wholeRecords(data), whole);
    QCOMPARE(int(feed::largestRecord(data)), largest);
}

void TestLobbyRules::feedChunks_data()
{
    QTest::addColumn<QList<int>>("lens"); // the records of the feed
    QTest::addColumn<QByteArray>("tail"); // an unfinished record after them
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("perChunk"); // records in each chunk
    QTest::newRow("one record over the limit") << QList<int>{10000} << QByteArray() << 9216 << QList<int>{1};
    QTest::newRow("two of 5000") << QList<int>{5000, 5000} << QByteArray() << 9216 << QList<int>{1, 1};
    QTest::newRow("ten of 900") << QList<int>(10, 900) << QByteArray() << 9216 << QList<int>{10};
    QTest::newRow("exactly the limit") << QList<int>{4606, 4606} << QByteArray() << 9216 << QList<int>{2};
    QTest::newRow("one byte over") << QList<int>{4606, 4607} << QByteArray() << 9216 << QList<int>{1, 1};
    QTest::newRow("a big one between small ones")
        << QList<int>{100, 10000, 100} << QByteArray() << 9216 << QList<int>{1, 1, 1};
    QTest::newRow("half a record stays behind")
        << QList<int>{10, 20} << record(50).left(30) << 9216 << QList<int>{2};
    QTest::newRow("only half a record") << QList<int>{} << record(50).left(30) << 9216 << QList<int>{};
    QTest::newRow("relay limit") << QList<int>(30, 4000) << QByteArray() << int(feed::MaxRelayBytes)
                                 << QList<int>{11, 11, 8};
    QTest::newRow("empty records") << QList<int>{0, 0, 0} << QByteArray() << 4 << QList<int>{2, 1};
}

void TestLobbyRules::feedChunks()
{
    QFETCH(QList<int>, lens);
    QFETCH(QByteArray, tail);
    QFETCH(int, limit);
    QFETCH(QList<int>, perChunk);
    const QByteArray whole = records(lens);
    const QList<QByteArray> chunks = feed::chunkRecords(whole + tail, limit);
    QCOMPARE(chunks.size(), perChunk.size());
    QByteArray joined;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        QVERIFY(feed::wholeRecords(chunks[i]));
        // Limit 0 puts every record in a chunk of its own: that counts the chunk's records.
        QCOMPARE(feed::chunkRecords(chunks[i], 0).size(), perChunk[i]);
        QVERIFY(chunks[i].size() <= limit || perChunk[i] == 1);
        joined += chunks[i];
    }
    // The chunks are the whole records in order, and nothing of the unfinished one.
    QCOMPARE(joined, whole);
    // Cutting from the middle starts at the given record.
    if (lens.size() >= 2)
        QCOMPARE(feed::recordsEnd(whole, 2 + lens[0], whole.size()), whole.size());
}

void TestLobbyRules::feedBase64_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("three bytes") << "AQID" << true << QByteArray("\x01\x02\x03", 3);
    QTest::newRow("one pad") << "AQI=" << true << QByteArray("\x01\x02", 2);
    QTest::newRow("two pads") << "AQ==" << true << QByteArray("\x01", 1);
    QTest::newRow("plus and slash") << "+/+/" << true << QByteArray("\xfb\xff\xbf", 3);
    QTest::newRow("empty") << "" << false << QByteArray();
    QTest::newRow("padding missing") << "AQI" << false << QByteArray();
    QTest::newRow("stray bits") << "AR==" << false << QByteArray();
    QTest::newRow("a blank") << "AQ ID" << false << QByteArray();
    QTest::newRow("a new line") << "AQID\n" << false << QByteArray();
    QTest::newRow("url alphabet") << "-_-_" << false << QByteArray();
    QTest::newRow("padding only") << "====" << false << QByteArray();
    QTest::newRow("padding inside") << "AQ==AQID" << false << QByteArray();
    QTest::newRow("not Latin-1") << QString::fromUtf8("AQ\u00e9D") << false << QByteArray();
}

void TestLobbyRules::feedBase64()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QByteArray, bytes);
    QByteArray out("untouched");
    QCOMPARE(feed::decodeStrict(text, &out), ok);
    QCOMPARE(out, ok ? bytes : QByteArray("untouched"));
}

void TestLobbyRules::rateRules_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("family"); // empty: not limited by rate (byte caps of their own)
    QTest::newRow("ping") << "ping"
                          << "pings";
    QTest::newRow("login") << "login"
                           << "sign-ins";
    QTest::newRow("token") << "auth"
                           << "sign-ins";
    QTest::newRow("profile") << "profile"
                             << "look-ups";
    QTest::newRow("lobby list") << "lobby_list"
                                << "look-ups";
    QTest::newRow("crash report") << "crash_report"
                                  << "reports";
    QTest::newRow("F3 part") << "report_file"
                             << "report parts";
    QTest::newRow("search") << "queue_join"
                            << "requests";
    QTest::newRow("made-up type") << "nonsense"
                                  << "requests";
    QTest::newRow("feed") << "feed"
                          << "";
    QTest::newRow("tunnel") << "tunnel"
                            << "";
}

void TestLobbyRules::rateRules()
{
    QFETCH(QString, type);
    QFETCH(QString, family);
    const RateRule *rule = rateRuleFor(type);
    QCOMPARE(rule ? QString::fromLatin1(rule->family) : QString(), family);
}

void TestLobbyRules::rateBuckets()
{
    const RateRule &pings = *rateRuleFor("ping");
    const RateRule &reports = *rateRuleFor("crash_report");
    RateLimiter r;
    // A full bucket lets a burst through, then one more each refill.
    int taken = 0;
    while (r.take(pings, 1000))
        ++taken;
    QCOMPARE(taken, int(pings.burst));
    QVERIFY(!r.take(pings, 1000));
    QVERIFY(!r.take(pings, 1000 + qint64(1000 / pings.perSecond) - 1));
    QVERIFY(r.take(pings, 1000 + qint64(1000 / pings.perSecond)));
    // Families are counted apart.
    QVERIFY(r.take(reports, 1000));
    // A long pause refills no more than the burst.
    taken = 0;
    while (r.take(pings, 10'000'000))
        ++taken;
    QCOMPARE(taken, int(pings.burst));
}

void TestLobbyRules::addressKeys_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("key");
    QTest::newRow("IPv4") << "192.0.2.7"
                          << "192.0.2.7";
    QTest::newRow("IPv4 mapped into IPv6") << "::ffff:192.0.2.7"
                                           << "192.0.2.7";
    QTest::newRow("IPv6 host part dropped") << "2001:db8:1:2:aaaa:bbbb:cccc:dddd"
                                            << "2001:db8:1:2::/64";
    QTest::newRow("same /64, other host") << "2001:db8:1:2::1"
                                          << "2001:db8:1:2::/64";
    QTest::newRow("next /64") << "2001:db8:1:3::1"
                              << "2001:db8:1:3::/64";
    QTest::newRow("loopback") << "::1"
                              << "::/64";
}

void TestLobbyRules::addressKeys()
{
    QFETCH(QString, address);
    QFETCH(QString, key);
    QCOMPARE(addressKey(QHostAddress(address)), key);
}

void TestLobbyRules::connectionBucketPerKey()
{
    KeyedBucket b(3, 2);
    int taken = 0;
    while (b.take("a", 1000))
        ++taken;
    QCOMPARE(taken, 3);
    QVERIFY(b.take("b", 1000)); // another key has its own bucket
    QVERIFY(!b.take("a", 1400));
    QVERIFY(b.take("a", 1500)); // two a second: one more after half a second
    b.sweep(1500);              // "b" has refilled, "a" has not
    QCOMPARE(b.keys(), 1);
    b.sweep(10000); // full again: forgotten
    QCOMPARE(b.keys(), 0);
}

void TestLobbyRules::resultReports_data()
{
    QTest::addColumn<QJsonObject>("report");
    QTest::addColumn<bool>("taken");
    QTest::newRow("a win") << QJsonObject{{"winner", 2}, {"p1_rounds", 1}, {"p2_rounds", 2}} << true;
    QTest::newRow("a draw") << QJsonObject{{"winner", 0}, {"p1_rounds", 2}, {"p2_rounds", 2}} << true;
    for (const char *o : {"left", "error", "sparring", "desync", "disconnected"})
        QTest::addRow("outcome %s", o) << QJsonObject{{"outcome", o}} << true;
    QTest::newRow("side 3") << QJsonObject{{"winner", 3}} << false;
    QTest::newRow("side -1") << QJsonObject{{"winner", -1}} << false;
    QTest::newRow("side 1.5") << QJsonObject{{"winner", 1.5}} << false;
    QTest::newRow("winner text") << QJsonObject{{"winner", "1"}} << false;
    QTest::newRow("rounds past 99") << QJsonObject{{"winner", 1}, {"p1_rounds", 100}} << false;
    QTest::newRow("outcome abandoned") << QJsonObject{{"outcome", "abandoned"}} << false;
    QTest::newRow("outcome draw") << QJsonObject{{"outcome", "draw"}} << false;
    QTest::newRow("outcome agreed") << QJsonObject{{"outcome", "agreed"}} << false;
    QTest::newRow("outcome number") << QJsonObject{{"outcome", 1}} << false;
    QTest::newRow("nothing") << QJsonObject{} << false;
}

void TestLobbyRules::resultReports()
{
    QFETCH(QJsonObject, report);
    QFETCH(bool, taken);
    QString why;
    const QJsonObject clean = matchrules::cleanResult(report, &why);
    QCOMPARE(!clean.isEmpty(), taken);
    QCOMPARE(why.isEmpty(), taken);
}

void TestLobbyRules::rttClamp_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("ms");
    QTest::newRow("ordinary") << QJsonValue(42) << 42;
    QTest::newRow("negative") << QJsonValue(-5) << 0;
    QTest::newRow("int max") << QJsonValue(2147483647) << 10000;
    QTest::newRow("beyond int") << QJsonValue(1e300) << 10000;
    QTest::newRow("text") << QJsonValue("12") << -1;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << -1;
}

void TestLobbyRules::rttClamp()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, ms);
    QCOMPARE(matchrules::clampRtt(value, -1), ms);
}

QTEST_GUILESS_MAIN(TestLobbyRules)
#include "tst_lobbyrules.moc"
