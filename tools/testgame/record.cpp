#include "record.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QSaveFile>

Record::Record(const QString &dir) : m_dir(dir) {}

void Record::writeEnvironment(const QStringList &arguments) const
{
    QJsonObject env;
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    for (const QString &name : system.keys())
        if (name.startsWith(QLatin1String("ORX_")))
            env.insert(name, system.value(name));
    QJsonObject doc;
    doc.insert(QStringLiteral("args"), QJsonArray::fromStringList(arguments));
    doc.insert(QStringLiteral("cwd"), QDir::currentPath());
    doc.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    doc.insert(QStringLiteral("env"), env);
    QSaveFile file(QDir(m_dir).filePath(QStringLiteral("testgame-env.json")));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(doc).toJson());
        file.commit();
    }
}

void Record::addCommand(const QString &line) const
{
    QFile file(QDir(m_dir).filePath(QStringLiteral("testgame-commands.txt")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}
