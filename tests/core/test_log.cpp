#include "core/cfg.h"
#include "core/log.h"
#include "core/logview.h"
#include "testutil.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QThread>
#include <QtTest>

using namespace testutil;

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { cfg::resetForTesting(); }

    void linesAreStampedAndAppended()
    {
        QTemporaryDir dir;
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        QVERIFY(writeAll(logFilePath(), "kept from an earlier run\n"));
        appendLog(QStringLiteral("launcher 0.1.8 starting"));
        appendLog(QStringLiteral("two\nlines é"));
        const QStringList lines = QString::fromUtf8(readAll(logFilePath())).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5); // three stamped lines written as 4 + the final empty piece
        QCOMPARE(lines.at(0), QStringLiteral("kept from an earlier run"));
        static const QRegularExpression stamp(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*)$"));
        QCOMPARE(stamp.match(lines.at(1)).captured(1), QStringLiteral("launcher 0.1.8 starting"));
        QCOMPARE(stamp.match(lines.at(2)).captured(1), QStringLiteral("two"));
        QCOMPARE(lines.at(3), QStringLiteral("lines é")); // a line break in a message is written as is
    }

    void threadsNeverInterleave()
    {
        QTemporaryDir dir;
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        const int perThread = 300;
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([t, perThread] {
                const QString body = QString(200, QChar(u'a' + t));
                for (int i = 0; i < perThread; ++i)
                    appendLog(QStringLiteral("t%1 %2 %3").arg(t).arg(i).arg(body));
            });
            threads.last()->start();
        }
        for (QThread *t : threads) {
            t->wait();
            delete t;
        }
        const QList<QByteArray> lines = readAll(logFilePath()).split('\n');
        QCOMPARE(lines.size(), 4 * perThread + 1);
        static const QRegularExpression whole(QStringLiteral("^\\S+ \\S+ t(\\d) \\d+ ([a-d])\\2{199}$"));
        for (int i = 0; i < 4 * perThread; ++i) {
            const auto m = whole.match(QString::fromUtf8(lines.at(i)));
            QVERIFY2(m.hasMatch(), lines.at(i).constData());
            QCOMPARE(m.captured(1).toInt(), m.captured(2).at(0).unicode() - u'a');
        }
    }

    void unwritableLogLosesLinesQuietly()
    {
        QTemporaryDir dir;
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        // A folder where the log file should be: it cannot be opened for appending.
        QVERIFY(QDir().mkpath(logFilePath()));
        appendLog(QStringLiteral("lost"));
        QVERIFY(QFileInfo(logFilePath()).isDir());
        cfg::resetForTesting();
        appendLog(QStringLiteral("before the store is open")); // no data folder: nothing, no crash
        QCOMPARE(logFilePath(), QString());
    }

    void logViewKeepsTheLast500()
    {
        LogView view;
        view.resize(400, 200);
        view.show();
        for (int i = 1; i <= 600; ++i)
            view.append(QStringLiteral("line %1").arg(i));
        QCOMPARE(view.document()->blockCount(), 500);
        static const QRegularExpression first(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] line 101$"));
        QVERIFY(first.match(view.document()->firstBlock().text()).hasMatch());
        QVERIFY(view.document()->lastBlock().text().endsWith(QStringLiteral("] line 600")));
        QVERIFY(view.isReadOnly());
        QCOMPARE(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
        QVERIFY(view.verticalScrollBar()->maximum() > 0);
    }
};

QTEST_MAIN(TestLog)
#include "test_log.moc"
