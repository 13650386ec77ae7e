#pragma once
// Shared fixtures of the game process tests: a private settings store per test class, the stand-in
// game, small script games for odd behaviour, and readers of what a game recorded.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class GameTestEnv {
public:
    // A fresh launcher folder (app) and data folder with the settings store open on them.
    explicit GameTestEnv(bool packaged = false);
    ~GameTestEnv();
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString appDir() const;

private:
    QTemporaryDir m_dir;
};

// The stand-in game built beside the tests.
QString testGamePath();
QString binPath(const QString &name);

// Writes an executable script (mode 0755) and returns its path.
QString writeScript(const QString &path, const QByteArray &body);
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// The environment record the stand-in game wrote into its session folder.
QJsonObject envRecord(const QString &sessionDir);
QStringList recordedCommands(const QString &sessionDir);

// The launcher log's lines.
QStringList logLines();

// True when the process no longer runs (gone, or a zombie nobody has reaped yet).
bool processGone(qint64 pid);

// Scales a deadline on a loaded machine (ORX_TEST_SLOW=factor).
int deadline(int ms);
