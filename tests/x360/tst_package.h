#pragma once
#include <QObject>
#include <QTemporaryDir>

class TestPackage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void blockAddressesByHand_data();
    void blockAddressesByHand();
    void handBuiltPackage_data();
    void handBuiltPackage();
    void headerFields();
    void filesBothLayouts_data();
    void filesBothLayouts();
    void notAPackage_data();
    void notAPackage();
    void unknownHeader_data();
    void unknownHeader();
    void truncated_data();
    void truncated();
    void everyBlockCut();
    void chainLoops();
    void chainPastEnd();
    void unusableNames_data();
    void unusableNames();
    void parentPaths();
    void fullFileTable();
    void extract();
    void extractFailures();
    void contentTypeNames_data();
    void contentTypeNames();

private:
    QString tempPath(const QString &name) const;
    QTemporaryDir m_dir;
};
