#pragma once
// What the stand-in game got, written where tests can read it: "testgame-env.json" (arguments,
// working folder, process id and every ORX_* variable) and "testgame-commands.txt" (each command
// taken from cmd.txt, one per line, in the order taken).

#include <QString>
#include <QStringList>

class Record {
public:
    explicit Record(const QString &dir);
    QString dir() const { return m_dir; }
    void writeEnvironment(const QStringList &arguments) const;
    void addCommand(const QString &line) const;

private:
    QString m_dir;
};
