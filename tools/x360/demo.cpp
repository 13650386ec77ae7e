#include "demo.h"

#include "x360/writer/discwriter.h"
#include "x360/writer/packagewriter.h"
#include "x360/writer/pattern.h"
#include "x360/writer/xexwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace demo {

namespace {

QByteArray pattern(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    x360::writer::fillPattern(bytes.data(), size, 0, seed);
    return bytes;
}

QByteArray discXex()
{
    x360::writer::XexSpec spec;
    spec.moduleFlags = 0x1;
    spec.titleId = titleId;
    spec.mediaId = mediaId;
    spec.version = discVersion;
    spec.baseVersion = discVersion;
    spec.moduleName = QStringLiteral("ironmere.exe");
    spec.body = pattern(160 * 1024, 1);
    return x360::writer::buildXex(spec);
}

QByteArray updateXexp(quint32 target, quint32 seed)
{
    x360::writer::XexSpec spec;
    spec.moduleFlags = 0x20; // a delta patch
    spec.titleId = titleId;
    spec.mediaId = mediaId;
    spec.version = target;
    spec.baseVersion = discVersion;
    spec.deltaPatch = true;
    spec.patchSourceVersion = discVersion;
    spec.patchTargetVersion = target;
    spec.patchSourceDigest = QCryptographicHash::hash(discXex(), QCryptographicHash::Sha1);
    spec.moduleName = QStringLiteral("ironmere.exe");
    spec.body = pattern(48 * 1024, seed);
    return x360::writer::buildXex(spec);
}

bool writeDisc(const QString &path, QString *error)
{
    x360::writer::DiscImage disc;
    disc.addFile(QStringLiteral("default.xex"), discXex());
    disc.addPatternFile(QStringLiteral("$SystemUpdate/su20076000_00000000"), 96 * 1024, 2);
    disc.addPatternFile(QStringLiteral("$SystemUpdate/dashboard.bin"), 20 * 1024, 3);
    disc.addPatternFile(QStringLiteral("data/common/boot.cpk"), 300 * 1024, 4);
    disc.addPatternFile(QStringLiteral("data/common/font.cpk"), 75 * 1024 + 17, 5);
    const char *fighters[] = {"c00", "c01", "c02", "c03", "c04", "c05", "c06", "c07"};
    quint32 seed = 10;
    for (const char *fighter : fighters) {
        const QString folder = QStringLiteral("data/chara/%1/").arg(QLatin1String(fighter));
        disc.addPatternFile(folder + QLatin1String("model.cpk"), 40 * 1024 + seed * 97, seed);
        disc.addPatternFile(folder + QLatin1String("motion/base.mot"), 12 * 1024 + seed * 13, seed + 100);
        ++seed;
    }
    disc.addPatternFile(QStringLiteral("data/stage/arena/lights/probe.bin"), 5000, 30);
    disc.addPatternFile(QStringLiteral("data/stage/arena/geometry.cpk"), 210 * 1024, 31);
    disc.addPatternFile(QStringLiteral("data/stage/harbour/geometry.cpk"), 190 * 1024, 32);
    disc.addPatternFile(QStringLiteral("movie/intro.usm"), 1024 * 1024, 33);
    disc.addPatternFile(QStringLiteral("sound/bgm/stage01.awb"), 256 * 1024, 34);
    disc.addPatternFile(QStringLiteral("sound/voice/en/v01.awb"), 64 * 1024, 35);
    disc.addPatternFile(QStringLiteral("sound/voice/jp/v01.awb"), 64 * 1024, 36);
    disc.addFile(QStringLiteral("data/empty.txt"), QByteArray());
    disc.addFolder(QStringLiteral("save"));
    return disc.write(path, x360::writer::xgd2Offset, error);
}

QByteArray titleUpdate(quint32 target, quint32 seed, int number)
{
    x360::writer::PackageBuilder package;
    package.magic = "LIVE";
    package.contentType = 0xB0000;
    package.titleId = titleId;
    package.mediaId = mediaId;
    package.version = target;
    package.baseVersion = discVersion;
    package.displayName = QStringLiteral("Ironmere IV Title Update %1").arg(number);
    package.titleName = QStringLiteral("Ironmere IV");
    package.addFile(QStringLiteral("default.xexp"), updateXexp(target, seed));
    // Past 170 blocks, so the file crosses into the second hash table.
    package.addFile(QStringLiteral("patch.cpk"), pattern(number == 3 ? 900 * 1024 : 200 * 1024, seed + 1));
    return package.build();
}

QByteArray dlc()
{
    x360::writer::PackageBuilder package;
    package.magic = "LIVE";
    package.contentType = 0x2;
    package.titleId = titleId;
    package.mediaId = 0;
    package.version = 1;
    package.displayName = QStringLiteral("Ironmere IV: Vessa Kaine");
    package.titleName = QStringLiteral("Ironmere IV");
    package.addFile(QStringLiteral("content/chara/c13/model.cpk"), pattern(120 * 1024, 60));
    package.addFile(QStringLiteral("content/chara/c13/motion.mot"), pattern(30 * 1024, 61), true);
    package.addFile(QStringLiteral("content/dlc.ini"), QByteArray("[dlc]\ncharacter=13\n"));
    return package.build();
}

bool writeFile(const QString &path, const QByteArray &data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size() ||
        !file.flush()) {
        *error =
            QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
}

} // namespace

bool make(const QString &dir, QStringList *written, QString *error)
{
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("Cannot make the folder %1.").arg(QDir::toNativeSeparators(dir));
        return false;
    }
    const QDir out(dir);
    const QString discPath = out.filePath(QLatin1String(discName));
    if (!writeDisc(discPath, error))
        return false;
    written->append(discPath);
    const struct {
        const char *name;
        QByteArray data;
    } packages[] = {
        {update3Package, titleUpdate(update3Version, 40, 3)},
        {update1Package, titleUpdate(update1Version, 50, 1)},
        {dlcPackage, dlc()},
    };
    for (const auto &package : packages) {
        const QString path = out.filePath(QLatin1String(package.name));
        if (!writeFile(path, package.data, error))
            return false;
        written->append(path);
    }
    return true;
}

} // namespace demo
