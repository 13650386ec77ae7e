#pragma once
#include <QObject>

class TestXex : public QObject {
    Q_OBJECT

private slots:
    void handBuiltHeader();
    void writerHeader();
    void everyCut();
    void damagedTables_data();
    void damagedTables();
    void withoutExecutionInfo();
    void moduleNames_data();
    void moduleNames();
    void patchFlags_data();
    void patchFlags();
    void versionTexts_data();
    void versionTexts();
};
