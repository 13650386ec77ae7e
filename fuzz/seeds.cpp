// Writes the seeds made by code into DIR/<target>: a disc image, packages and an executable header
// from the writers the reader tests use, and the controls file the launcher writes.

#include "controls/controlsfile.h"
#include "x360/writer/discwriter.h"
#include "x360/writer/packagewriter.h"
#include "x360/writer/pattern.h"
#include "x360/writer/xexwriter.h"

#include <QDir>
#include <QFile>
#include <cstdio>

static QByteArray pattern(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    x360::writer::fillPattern(bytes.data(), size, 0, seed);
    return bytes;
}

static void save(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("Usage: fuzz_seeds DIR\n", stderr);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const char *sub : {"fuzz_disc", "fuzz_package", "fuzz_xex", "fuzz_controls"})
        dir.mkpath(QLatin1String(sub));

    x360::writer::DiscImage image;
    image.addFile(QStringLiteral("default.xex"), pattern(300, 1));
    image.addFile(QStringLiteral("a/b/c.bin"), pattern(100, 2));
    image.addFile(QStringLiteral("a/d.bin"), pattern(10, 3));
    image.addFile(QStringLiteral("$SystemUpdate/su.bin"), pattern(10, 4));
    QString error;
    const QString temp = dir.filePath(QStringLiteral("fuzz_disc/whole.tmp"));
    if (image.write(temp, 0, &error)) {
        QFile file(temp);
        if (file.open(QIODevice::ReadOnly)) {
            file.seek(0x10000);
            save(dir.filePath(QStringLiteral("fuzz_disc/seed1")), file.readAll());
        }
        QFile::remove(temp);
    }

    for (int separation = 0; separation < 3; ++separation) {
        x360::writer::PackageBuilder package;
        package.blockSeparation = quint8(separation);
        package.displayName = QStringLiteral("Seed");
        package.addFile(QStringLiteral("default.xexp"), pattern(5000, 5));
        package.addFile(QStringLiteral("dir/scattered.bin"), pattern(9000, 6), true);
        save(dir.filePath(QStringLiteral("fuzz_package/seed%1").arg(separation)), package.build());
    }

    x360::writer::XexSpec spec;
    spec.titleId = 0x5D3A0F21;
    spec.deltaPatch = true;
    spec.moduleName = QStringLiteral("seed.exe");
    save(dir.filePath(QStringLiteral("fuzz_xex/seed1")), x360::writer::buildXex(spec).left(0x400));

    Controls controls;
    save(dir.filePath(QStringLiteral("fuzz_controls/defaults")), composeControlsFile(controls));
    controls.keyboard = false;
    controls.keys[XboxA] = {0x41, 0x20};
    controls.fight[XboxA] = FightA | FightG;
    controls.player2 = QStringLiteral("Pad #2 \"Pro\" C:\\pads = [a]");
    save(dir.filePath(QStringLiteral("fuzz_controls/changed")), composeControlsFile(controls));
    return 0;
}
