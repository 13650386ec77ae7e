#include "commands.h"

#include <QFile>
#include <cstdio>

Kind kindOf(const QString &path)
{
    QFile file(path);
    QByteArray start;
    if (file.open(QIODevice::ReadOnly))
        start = file.read(4);
    if (start == "XEX2")
        return Kind::Xex;
    if (start == "LIVE" || start == "PIRS" || start == "CON ")
        return Kind::Package;
    return Kind::Disc; // the disc reader words every other failure, "cannot open" included
}

void printOut(const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void printError(const QString &message)
{
    fputs(message.toLocal8Bit().constData(), stderr);
    fputc('\n', stderr);
}

int fail(const QString &message)
{
    printError(message);
    return 1;
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(bytes / 1024);
    if (bytes < 1024LL * 1024 * 1024)
        return QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
    return QStringLiteral("%1 GB").arg(double(bytes) / (1024.0 * 1024 * 1024), 0, 'f', 2);
}
