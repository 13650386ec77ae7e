// The test and development stand-in variables. This program is built twice: once with the hooks
// compiled in, as in test builds, and once without, as in a release build. Both variants run the
// real registry and game checks; only the one file that reads the environment differs.

#include "core/devhooks.h"
#include "game/gamechecks.h"
#include "gamedata/registry.h"
#include "platform/platform.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#ifndef ORX_TEST_HOOKS_BUILT_IN
#error "build this test with ORX_TEST_HOOKS_BUILT_IN set to 0 or 1"
#endif

namespace {

constexpr bool hooksBuiltIn = ORX_TEST_HOOKS_BUILT_IN != 0;

// Sets a variable for one scope, then takes it out again.
class ScopedVariable {
public:
    ScopedVariable(const char *name, const QByteArray &value) : m_name(name) { qputenv(name, value); }
    ~ScopedVariable() { qunsetenv(m_name); }

private:
    const char *m_name;
};

QString compiledInTitle()
{
    QFile resource(QStringLiteral(":/data/orx.json"));
    if (!resource.open(QIODevice::ReadOnly))
        return QString();
    return QJsonDocument::fromJson(resource.readAll()).object().value(QStringLiteral("title")).toString();
}

} // namespace

class TestDevHooks : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qunsetenv("ORX_GAME_DEFINITION");
        qunsetenv("ORX_SMART_APP_CONTROL");
        QCOMPARE(devhooks::enabled(), hooksBuiltIn);
        QVERIFY(!compiledInTitle().isEmpty());
    }

    void gameDefinition_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::newRow("another definition") << true;
        QTest::newRow("a definition that is not there") << false;
    }

    void gameDefinition()
    {
        QFETCH(bool, fileExists);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("orx.json"));
        if (fileExists) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(R"({"id": "orx", "title": "Stand-in Title"})");
        }
        const ScopedVariable variable("ORX_GAME_DEFINITION", QFile::encodeName(path));
        QString error;
        const bool loaded = GameRegistry::load(&error);
        if (hooksBuiltIn && !fileExists) {
            QVERIFY(!loaded);
            QCOMPARE(error, QStringLiteral("missing game data %1").arg(path));
            return;
        }
        QVERIFY2(loaded, qPrintable(error));
        const Game *game = GameRegistry::instance().find(QStringLiteral("orx"));
        QVERIFY(game);
        QCOMPARE(game->title, hooksBuiltIn ? QStringLiteral("Stand-in Title") : compiledInTitle());
    }

    void smartAppControl_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("off") << QByteArray("0");
        QTest::newRow("on") << QByteArray("1");
        QTest::newRow("evaluation") << QByteArray(" 2 ");
    }

    void smartAppControl()
    {
        QFETCH(QByteArray, value);
        const int system = platform::smartAppControlState();
        const ScopedVariable variable("ORX_SMART_APP_CONTROL", value);
        // The system's own reading never looks at the variable.
        QCOMPARE(platform::smartAppControlState(), system);
        QCOMPARE(smartAppControlState(), hooksBuiltIn ? value.trimmed().toInt() : system);
    }

    void unsetVariablesLeaveTheSystemsValues()
    {
        QString error;
        QVERIFY2(GameRegistry::load(&error), qPrintable(error));
        QCOMPARE(GameRegistry::instance().find(QStringLiteral("orx"))->title, compiledInTitle());
        QCOMPARE(smartAppControlState(), platform::smartAppControlState());
    }
};

QTEST_GUILESS_MAIN(TestDevHooks)
#include "test_devhooks.moc"
