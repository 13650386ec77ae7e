#include "channels.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cstdio>

bool replaceFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(bytes);
    return file.commit();
}

void StatusFile::write(const QString &line)
{
    m_last = line;
    if (!m_path.isEmpty())
        replaceFile(m_path, line.toLatin1() + '\n');
}

QString CommandInbox::take()
{
    if (m_path.isEmpty() || !QFileInfo::exists(m_path)) {
        m_seen.invalidate();
        return QString();
    }
    if (!m_seen.isValid())
        m_seen.start();
    if (m_seen.elapsed() < m_takeAfterMs)
        return QString();
    m_seen.invalidate();
    const QString taken = m_path + QStringLiteral(".taken");
    // rename(2) replaces an older taken file in one step.
    if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(taken).constData()) != 0)
        return QString();
    QFile file(taken);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    file.close();
    QFile::remove(taken);
    const qsizetype lf = bytes.indexOf('\n');
    return QString::fromLatin1(lf < 0 ? bytes : bytes.left(lf)).trimmed();
}

void AskOutbox::pump()
{
    if (m_path.isEmpty() || m_queue.isEmpty() || QFileInfo::exists(m_path))
        return;
    replaceFile(m_path, m_queue.takeFirst().toUtf8() + '\n');
}
