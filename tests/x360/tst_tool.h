#pragma once
#include <QObject>
#include <QTemporaryDir>

class TestTool : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void demoIsDeterministic();
    void infoJson();
    void listJson();
    void extractSkipsSystemUpdate();
    void catAndCheck();
    void failuresAndUsage_data();
    void failuresAndUsage();

private:
    struct Result {
        int code = -1;
        QByteArray out;
        QByteArray err;
    };
    Result run(const QStringList &args) const;
    QString demo(const QString &name) const;
    QString m_tool;
    QTemporaryDir m_dir;
};
