// info, list, cat and check: read-only looks at one file.

#include "commands.h"

#include "gamedata/registry.h"
#include "x360/disc.h"
#include "x360/package.h"
#include "x360/xex.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace {

QString hex8(quint32 value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

void printJson(const QJsonDocument &document)
{
    printOut(document.toJson(QJsonDocument::Compact) + '\n');
}

bool readWhole(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot open %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    *bytes = file.readAll();
    return true;
}

int infoDisc(const QString &file, const Options &options)
{
    x360::Disc disc;
    QString error;
    if (!disc.open(file, &error))
        return fail(error);
    int folders = 0;
    for (const x360::DiscEntry &entry : disc.entries())
        folders += entry.isFolder ? 1 : 0;
    if (options.json) {
        printJson(QJsonDocument(QJsonObject{{"kind", "disc"},
                                            {"partition", disc.partitionName()},
                                            {"partition_offset", disc.partitionOffset()},
                                            {"files", disc.fileCount()},
                                            {"folders", folders},
                                            {"bytes", disc.totalBytes()}}));
        return 0;
    }
    const QString text =
        QStringLiteral("Disc image: %1\nPartition: %2 at byte %3\nFiles: %4 in %5 folders, %6 "
                       "(%7 bytes)\nWithout $SystemUpdate: %8 files, %9\n")
            .arg(QDir::toNativeSeparators(file), disc.partitionName())
            .arg(disc.partitionOffset())
            .arg(disc.fileCount())
            .arg(folders)
            .arg(sizeText(disc.totalBytes()))
            .arg(disc.totalBytes())
            .arg(disc.fileCount(x360::isSystemUpdate))
            .arg(sizeText(disc.totalBytes(x360::isSystemUpdate)));
    printOut(text.toUtf8());
    return 0;
}

int infoPackage(const QString &file, const Options &options)
{
    x360::Package package;
    QString error;
    if (!package.open(file, &error))
        return fail(error);
    int files = 0;
    qint64 bytes = 0;
    for (const x360::PackageEntry &entry : package.entries) {
        if (!entry.isFolder) {
            ++files;
            bytes += entry.size;
        }
    }
    if (options.json) {
        printJson(QJsonDocument(QJsonObject{{"kind", "package"},
                                            {"magic", package.magic},
                                            {"content_type", qint64(package.contentType)},
                                            {"content_type_name", x360::contentTypeName(package.contentType)},
                                            {"title_id", hex8(package.titleId)},
                                            {"media_id", hex8(package.mediaId)},
                                            {"version", qint64(package.version)},
                                            {"base_version", qint64(package.baseVersion)},
                                            {"display_name", package.displayName},
                                            {"title_name", package.titleName},
                                            {"files", files},
                                            {"bytes", bytes}}));
        return 0;
    }
    const QString text =
        QStringLiteral("Package: %1 (%2)\nTitle ID: %3\nMedia ID: %4\nVersion: %5 (base %6)\n"
                       "Display name: %7\nTitle name: %8\nFiles: %9\n")
            .arg(package.magic, x360::contentTypeName(package.contentType), hex8(package.titleId),
                 hex8(package.mediaId), x360::versionText(package.version),
                 x360::versionText(package.baseVersion), package.displayName, package.titleName,
                 QStringLiteral("%1, %2").arg(files).arg(sizeText(bytes)));
    printOut(text.toUtf8());
    return 0;
}

int infoXex(const QString &file, const Options &options)
{
    QByteArray bytes;
    QString error;
    x360::XexInfo info;
    if (!readWhole(file, &bytes, &error) || !x360::readXex(bytes, &info, &error))
        return fail(error);
    const QJsonObject object{{"kind", "xex"},
                             {"title_id", hex8(info.titleId)},
                             {"media_id", hex8(info.mediaId)},
                             {"version", x360::versionText(info.version)},
                             {"base_version", x360::versionText(info.baseVersion)},
                             {"is_patch", info.isPatch},
                             {"has_execution_info", info.hasExecutionInfo},
                             {"has_delta_patch", info.hasDeltaPatch},
                             {"patch_source_version", x360::versionText(info.patchSourceVersion)},
                             {"patch_target_version", x360::versionText(info.patchTargetVersion)},
                             {"module_name", info.moduleName},
                             {"disc_number", qint64(info.discNumber)},
                             {"disc_count", qint64(info.discCount)}};
    if (options.json) {
        printJson(QJsonDocument(object));
        return 0;
    }
    QString text;
    for (auto it = object.begin(); it != object.end(); ++it)
        text += QStringLiteral("%1: %2\n").arg(it.key(), it.value().toVariant().toString());
    printOut(text.toUtf8());
    return 0;
}

} // namespace

int infoCommand(const QString &file, const Options &options)
{
    switch (kindOf(file)) {
    case Kind::Disc:
        return infoDisc(file, options);
    case Kind::Package:
        return infoPackage(file, options);
    case Kind::Xex:
        return infoXex(file, options);
    }
    return 1;
}

int listCommand(const QString &file, const Options &options)
{
    QJsonArray array;
    QString error;
    const auto add = [&](const QString &path, qint64 size, bool folder) {
        if (options.json)
            array.append(QJsonObject{{"path", path}, {"size", size}, {"folder", folder}});
        else
            printOut(QStringLiteral("%1 %2%3\n")
                         .arg(size, 12)
                         .arg(path, folder ? QStringLiteral("/") : QString())
                         .toUtf8());
    };
    switch (kindOf(file)) {
    case Kind::Disc: {
        x360::Disc disc;
        if (!disc.open(file, &error))
            return fail(error);
        for (const x360::DiscEntry &entry : disc.entries())
            add(entry.path, entry.size, entry.isFolder);
        break;
    }
    case Kind::Package: {
        x360::Package package;
        if (!package.open(file, &error))
            return fail(error);
        for (const x360::PackageEntry &entry : package.entries)
            add(entry.path, entry.size, entry.isFolder);
        break;
    }
    case Kind::Xex:
        return fail(
            QStringLiteral("%1 is an executable: it holds no files.").arg(QFileInfo(file).fileName()));
    }
    if (options.json)
        printJson(QJsonDocument(array));
    return 0;
}

int catCommand(const QString &file, const QString &path)
{
    QByteArray bytes;
    QString error;
    switch (kindOf(file)) {
    case Kind::Disc: {
        x360::Disc disc;
        if (!disc.open(file, &error))
            return fail(error);
        const x360::DiscEntry *entry = disc.find(path);
        if (!entry)
            return fail(QStringLiteral("There is no file %1 in %2.").arg(path, QFileInfo(file).fileName()));
        if (!disc.read(*entry, &bytes, &error))
            return fail(error);
        break;
    }
    case Kind::Package: {
        x360::Package package;
        if (!package.open(file, &error))
            return fail(error);
        const x360::PackageEntry *entry = package.find(path);
        if (!entry)
            return fail(QStringLiteral("There is no file %1 in %2.").arg(path, QFileInfo(file).fileName()));
        if (!package.read(*entry, &bytes, &error))
            return fail(error);
        break;
    }
    case Kind::Xex:
        return fail(
            QStringLiteral("%1 is an executable: it holds no files.").arg(QFileInfo(file).fileName()));
    }
    printOut(bytes);
    return 0;
}

int checkCommand(const QString &file)
{
    QString error;
    if (!GameRegistry::load(&error))
        return fail(error);
    const Game *game = GameRegistry::instance().find(QStringLiteral("orx"));
    if (!game)
        return fail(QStringLiteral("The game definition has no game \"orx\"."));
    QByteArray xex;
    switch (kindOf(file)) {
    case Kind::Disc: {
        x360::Disc disc;
        if (!disc.open(file, &error))
            return fail(error);
        const x360::DiscEntry *entry = disc.find(QStringLiteral("default.xex"));
        if (!entry)
            return fail(QStringLiteral("There is no default.xex on this disc."));
        if (!disc.read(*entry, &xex, &error))
            return fail(error);
        break;
    }
    case Kind::Xex:
        if (!readWhole(file, &xex, &error))
            return fail(error);
        break;
    case Kind::Package:
        return fail(QStringLiteral("check works on a disc image or a default.xex, not on a package."));
    }
    const QString message = game->checkExecutable(xex);
    if (!message.isEmpty())
        return fail(message);
    printOut(QStringLiteral("This is the default.xex of %1 (%2): the game can be built from it.\n")
                 .arg(game->title, game->edition)
                 .toUtf8());
    return 0;
}
