// orx-art OUTDIR: writes the launcher's art into OUTDIR (logo/, ranks/, pictures/, sounds/).
#include "art.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    // Offscreen: the generator never needs a display, and fonts are never used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: orx-art OUTDIR\n");
        return 2;
    }
    const QDir out(args.at(1));
    int written = 0;
    for (const art::Output &o : art::everything()) {
        const QString path = out.filePath(o.path);
        QDir().mkpath(QFileInfo(path).absolutePath());
        bool ok = false;
        if (!o.image.isNull()) {
            ok = o.image.save(path, "PNG");
        } else {
            QFile f(path);
            ok = f.open(QIODevice::WriteOnly) && f.write(o.raw) == o.raw.size();
        }
        if (!ok) {
            std::fprintf(stderr, "orx-art: cannot write %s\n", qPrintable(path));
            return 1;
        }
        ++written;
    }
    std::printf("orx-art: %d files in %s\n", written, qPrintable(out.absolutePath()));
    return 0;
}
