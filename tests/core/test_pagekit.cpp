#include "core/pagekit.h"
#include "gamedata/region.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>
#include <QtTest>

class TestPageKit : public QObject {
    Q_OBJECT
private slots:
    void cardsAndHeadersCarryTheStyleHooks()
    {
        QVBoxLayout *layout = nullptr;
        std::unique_ptr<QFrame> card(makeCard(QStringLiteral("Online play"), &layout));
        QCOMPARE(card->objectName(), QStringLiteral("Card"));
        QVERIFY(layout);
        QCOMPARE(layout->contentsMargins(), QMargins(16, 14, 16, 16));
        QCOMPARE(layout->spacing(), 10);
        auto *title = qobject_cast<QLabel *>(layout->itemAt(0)->widget());
        QVERIFY(title);
        QCOMPARE(title->text(), QStringLiteral("ONLINE PLAY"));
        QCOMPARE(title->objectName(), QStringLiteral("CardTitle"));
        QCOMPARE(title->font().letterSpacing(), 2.0);

        std::unique_ptr<QFrame> untitled(makeCard(QString(), &layout));
        QCOMPARE(layout->count(), 0);

        QLabel *subtitle = nullptr;
        std::unique_ptr<QWidget> header(
            makePageHeader(QStringLiteral("Settings"), QStringLiteral("How you play."), &subtitle));
        auto *pageTitle = header->findChild<QLabel *>(QStringLiteral("PageTitle"));
        QVERIFY(pageTitle && subtitle);
        QCOMPARE(pageTitle->text(), QStringLiteral("SETTINGS"));
        QCOMPARE(pageTitle->font().letterSpacing(), 4.0);
        QCOMPARE(subtitle->objectName(), QStringLiteral("PageSubtitle"));
        QVERIFY(subtitle->wordWrap());
    }

    void pingChoices_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<int>("selected");
        QTest::newRow("100") << 100 << 1;
        QTest::newRow("any") << 0 << 4;
        QTest::newRow("unknown falls back to 150") << 123 << 2;
    }
    void pingChoices()
    {
        QFETCH(int, current);
        QFETCH(int, selected);
        QComboBox combo;
        fillMaxPingChoices(&combo, current);
        QCOMPARE(combo.count(), 5);
        QCOMPARE(combo.itemText(0), QStringLiteral("60 ms"));
        QCOMPARE(combo.itemText(4), QStringLiteral("Any"));
        QCOMPARE(combo.itemData(4).toInt(), 0);
        QCOMPARE(combo.currentIndex(), selected);
    }

    void regionChoicesFollowTheTable()
    {
        QComboBox combo;
        const QList<Region> &table = regions();
        QCOMPARE(table.size(), 7);
        fillRegionChoices(&combo, table.at(3).code);
        QCOMPARE(combo.count(), 7);
        QCOMPARE(combo.currentIndex(), 3);
        QCOMPARE(combo.itemText(3), table.at(3).name);
        fillRegionChoices(&combo, QStringLiteral("nowhere"));
        QCOMPARE(combo.count(), 7); // refilled, not appended
        QCOMPARE(combo.currentIndex(), 0);
    }
};

QTEST_MAIN(TestPageKit)
#include "test_pagekit.moc"
