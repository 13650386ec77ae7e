// The sender against an in-process scripted server: pacing by driving the send tick, the answers
// that end a report and those that do not, a drop after the last part and a silent server.

#include "reporttestkit.h"
#include "scriptedpeer.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

using namespace reporttest;

namespace {

// Effectively never: the test drives the scans and ticks itself.
constexpr int Never = 3600 * 1000;

QJsonObject saved(const QString &id)
{
    return {{"type", "report_saved"}, {"report", id}};
}

QJsonObject error(const QString &re, const QString &message)
{
    return {{"type", "error"}, {"code", "bad_report"}, {"re", re}, {"message", message}};
}

} // namespace

class TestReportSender : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void pacingTwoMessagesPerTick();
    void answers_data();
    void answers();
    void dropAfterTheLastPartEndsTheReport();
    void silencePastTheTimeLimitEndsTheReport();

private:
    // Scans until a report is built and its messages wait in the outbox.
    bool startReport();
    // Sends everything with driven ticks, until the send timer has stopped.
    void drain();
    QList<QJsonObject> reportMessages() const;

    std::unique_ptr<ScriptedPeer> m_peer;
    std::unique_ptr<Launcher> m_launcher;
    ReportSender *m_sender = nullptr;
};

void TestReportSender::init()
{
    m_peer = std::make_unique<ScriptedPeer>();
    m_peer->autoWelcome =
        QJsonObject{{"type", "welcome"}, {"server", "scripted"}, {"version", "1"}, {"online", 1}};
    // Signing in and resuming both answer with the account.
    connect(m_peer.get(), &ScriptedPeer::lineReceived, m_peer.get(), [this](const ScriptedPeer::Line &line) {
        const QString type = line.object.value("type").toString();
        if (type == "login" || type == "auth")
            m_peer->send({{"type", "account"}, {"name", "ann"}, {"token", "tok"}, {"udp_token", "u"}});
    });
    QVERIFY(m_peer->listen());
    m_launcher = std::make_unique<Launcher>();
    QString error;
    QVERIFY2(m_launcher->startGame({}, &error), qPrintable(error));
    // The game is up and has begun its log, which every report carries.
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->game->statusWord(), QString("ready"), scaled(20000));
    m_launcher->makeSender({Never, Never, Never, Never});
    m_sender = m_launcher->sender.get();
    m_launcher->server->connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(m_peer->port()), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->server->state(), ServerClient::Rovivi, scaled(10000));
    m_launcher->server->login("ann", "pw");
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->server->state(), ServerClient::LoggedIn, scaled(10000));
}

void TestReportSender::cleanup()
{
    m_sender = nullptr;
    m_launcher.reset();
    m_peer.reset();
}

bool TestReportSender::startReport()
{
    m_sender->scan();
    return QTest::qWaitFor([this] { return !m_sender->reportId().isEmpty(); }, scaled(20000));
}

void TestReportSender::drain()
{
    while (m_sender->sendTimer().isActive())
        m_sender->sendTick();
}

QList<QJsonObject> TestReportSender::reportMessages() const
{
    QList<QJsonObject> out;
    for (const ScriptedPeer::Line &l : m_peer->lines()) {
        const QString type = l.object.value("type").toString();
        if (type == "report_file" || type == "report_done")
            out << l.object;
    }
    return out;
}

void TestReportSender::pacingTwoMessagesPerTick()
{
    makeCapture(m_launcher->game->sessionDir(), "c1");
    QVERIFY(startReport());
    const QString id = m_sender->reportId();
    QVERIFY(QRegularExpression("^[0-9a-f]{16}$").match(id).hasMatch());
    QVERIFY(m_sender->sendTimer().isActive());
    QCOMPARE(m_sender->sendTimer().interval(), Never);
    QCOMPARE(m_sender->fileCount(), 25); // final, 20 frames, dump, one texture, log, info
    QCOMPARE(m_launcher->lines,
             QStringList{QStringLiteral("F3 report from orx: sending 25 files (%1 KB) to the server")
                             .arg(m_sender->totalBytes() / 1024)});
    const qsizetype total = m_sender->outbox().size();
    QVERIFY(total > 25);

    // Each tick sends the next two messages, the last tick what is left.
    qsizetype sent = 0;
    while (!m_sender->outbox().isEmpty()) {
        m_sender->sendTick();
        sent = qMin(total, sent + 2);
        QCOMPARE(m_sender->outbox().size(), total - sent);
        QTRY_COMPARE_WITH_TIMEOUT(reportMessages().size(), sent, scaled(10000));
        QVERIFY(m_sender->sendTimer().isActive());
    }
    m_sender->sendTick();
    QVERIFY(!m_sender->sendTimer().isActive());
    QCOMPARE(m_sender->reportId(), id); // still waiting for the answer

    // The messages rebuild every file, parts in order, the report's end last.
    const QList<QJsonObject> messages = reportMessages();
    QCOMPARE(messages.last(),
             QJsonObject({{"type", "report_done"}, {"report", id}, {"id", messages.last()["id"]}}));
    QStringList order;
    QHash<QString, QByteArray> files;
    QHash<QString, int> nextPart, partsOf;
    qint64 bytes = 0;
    for (const QJsonObject &m : messages.mid(0, messages.size() - 1)) {
        QCOMPARE(m.value("type").toString(), QString("report_file"));
        QCOMPARE(m.value("report").toString(), id);
        QCOMPARE(m.value("game").toString(), QString("orx"));
        const QString name = m.value("name").toString();
        const QByteArray data = QByteArray::fromBase64(m.value("data").toString().toLatin1());
        QVERIFY(data.size() <= 11400);
        if (m.value("part").toInt() == 0)
            order << name;
        QCOMPARE(order.last(), name);
        QCOMPARE(m.value("part").toInt(), nextPart[name]++);
        if (m.value("part").toInt() == 0)
            partsOf[name] = m.value("parts").toInt();
        QCOMPARE(m.value("parts").toInt(), partsOf[name]);
        const bool packed = name == "frame.txt" || name == "game.log" || name == "info.txt";
        QCOMPARE(m.contains("zlib"), packed);
        if (packed)
            QCOMPARE(m.value("zlib").toBool(), true);
        files[name] += data;
        bytes += data.size();
    }
    for (const QString &name : std::as_const(order))
        QCOMPARE(partsOf[name], int(qMax<qsizetype>(1, (files[name].size() + 11399) / 11400)));
    QCOMPARE(order.size(), 25);
    QCOMPARE(order.first(), QString("final.jpg"));
    QCOMPARE(order.last(), QString("info.txt"));
    QCOMPARE(bytes, m_sender->totalBytes());
    QCOMPARE(qUncompress(files["frame.txt"]),
             readBytes(m_launcher->game->sessionDir() + "/captures/c1/frame.txt"));

    m_peer->send(saved(id));
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(10000));
    QCOMPARE(m_launcher->lines.last(), QString("F3 report sent: 25 files, thank you"));
    QVERIFY(m_sender->reportId().isEmpty());
}

void TestReportSender::answers_data()
{
    QTest::addColumn<QList<QJsonObject>>("replies"); // "ID" stands for the report's id
    QTest::addColumn<QString>("sentence");
    const QString sent = "F3 report sent: 25 files, thank you";
    QTest::newRow("saved") << QList<QJsonObject>{saved("ID")} << sent;
    // In the rows below the last answer is the right "report_saved": what came first changed nothing.
    QTest::newRow("saved for another report changes nothing")
        << QList<QJsonObject>{saved("0000000000000001"), saved("ID")} << sent;
    QTest::newRow("an error about another request is ignored")
        << QList<QJsonObject>{error("lobby_join", "No such lobby."), saved("ID")} << sent;
    QTest::newRow("other messages are ignored")
        << QList<QJsonObject>{{{"type", "online"}, {"players", 3}}, saved("ID")} << sent;
    QJsonObject stale = error("report_file", "An earlier report's part.");
    stale.insert("id", 1); // answers a message sent before this report's first
    QTest::newRow("an error answering an earlier message is ignored")
        << QList<QJsonObject>{stale, saved("ID")} << sent;
    QTest::newRow("error about a part") << QList<QJsonObject>{error("report_file", "Too many files.")}
                                        << "F3 report not sent: Too many files.";
    QTest::newRow("error about the end")
        << QList<QJsonObject>{error("report_done", "final.jpg is not complete.")}
        << "F3 report not sent: final.jpg is not complete.";
}

void TestReportSender::answers()
{
    QFETCH(QList<QJsonObject>, replies);
    QFETCH(QString, sentence);
    makeCapture(m_launcher->game->sessionDir(), "c1");
    QVERIFY(startReport());
    const QString id = m_sender->reportId();
    drain();
    for (QJsonObject reply : replies) {
        if (reply.value("report").toString() == "ID")
            reply.insert("report", id);
        m_peer->send(reply);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(10000));
    QCOMPARE(m_launcher->lines.at(1), sentence);
    QVERIFY(m_sender->reportId().isEmpty());
}

void TestReportSender::dropAfterTheLastPartEndsTheReport()
{
    makeCapture(m_launcher->game->sessionDir(), "c1");
    QVERIFY(startReport());
    drain();
    QTRY_VERIFY_WITH_TIMEOUT(!reportMessages().isEmpty() &&
                                 reportMessages().last().value("type").toString() ==
                                     QLatin1String("report_done"),
                             scaled(10000));
    m_peer->closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(10000));
    QCOMPARE(m_launcher->lines.at(1), QString("F3 report not sent: the connection to the server dropped"));
    QVERIFY(m_sender->reportId().isEmpty());
    QVERIFY(m_sender->outbox().isEmpty());

    // The link comes back signed in; the next capture goes, the failed one is not sent again.
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->server->state(), ServerClient::LoggedIn, scaled(10000));
    makeCapture(m_launcher->game->sessionDir(), "c2");
    QVERIFY(startReport());
    QCOMPARE(m_sender->pending().size(), 0);
    QCOMPARE(m_sender->seen().size(), 2);
    const QString second = m_sender->reportId();
    drain();
    m_peer->send(saved(second));
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 4, scaled(10000));
    QCOMPARE(m_launcher->lines.at(3), QString("F3 report sent: 25 files, thank you"));
}

void TestReportSender::silencePastTheTimeLimitEndsTheReport()
{
    ReportSender::Timing t = m_sender->timing();
    t.answerMs = 200;
    m_sender->setTiming(t);
    makeCapture(m_launcher->game->sessionDir(), "c1");
    makeCapture(m_launcher->game->sessionDir(), "c2");
    QVERIFY(startReport());
    drain();
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(10000));
    QCOMPARE(m_launcher->lines.at(1), QString("F3 report not sent: the server did not answer"));
    // The capture that waited goes next.
    QCOMPARE(m_sender->pending().size(), 1);
    QVERIFY(startReport());
    QCOMPARE(m_sender->pending().size(), 0);
}

int runReportSenderTests(int argc, char **argv)
{
    TestReportSender t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_reportsender.moc"
