#pragma once
#include <QObject>
#include <QTemporaryDir>

class TestDisc : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void knownLayoutByHand();
    void writerPutsDescriptorAtKnownOffset();
    void partitionOffsets_data();
    void partitionOffsets();
    void notADisc();
    void treeOrderRightBeforeLeft();
    void loopingLinksAreWalkedOnce();
    void fillerSlotsAndOverrunningNames();
    void unusableNames_data();
    void unusableNames();
    void nesting_data();
    void nesting();
    void folderContainingItself();
    void entryLimit_data();
    void entryLimit();
    void truncated_data();
    void truncated();
    void everySectorCut();
    void readAndFind();
    void systemUpdateFilter();
    // extraction (tst_disc_extract.cpp)
    void extractWritesTreeAndSkips();
    void extractTwiceResumes();
    void extractInSectorOrderKeepsDoneFiles();
    void cancelMidFile();
    void cancelBeforeFirstChunk();
    void diskFullRemovesPart();
    void extractFolderFailures();
    void cannotPutInPlace();

private:
    QString tempPath(const QString &name) const;
    QTemporaryDir m_dir;
};
