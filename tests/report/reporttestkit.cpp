#include "reporttestkit.h"

#include "core/cfg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QTest>

namespace reporttest {

QImage noiseImage(QSize size, quint32 seed)
{
    QImage image(size, QImage::Format_RGB32);
    quint32 state = seed * 2654435761u + 12345u;
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line[x] = 0xff000000u | (state & 0xffffffu);
        }
    }
    return image;
}

QImage smoothImage(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = qRgb(x * 255 / qMax(1, size.width()), y * 255 / qMax(1, size.height()), 96);
    }
    return image;
}

bool writeBmp(const QString &path, const QImage &image)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return image.save(path, "BMP");
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString makeCapture(const QString &sessionDir, const QString &name, int frames)
{
    const QDir capture(QDir(sessionDir).filePath(QStringLiteral("captures/") + name));
    QDir().mkpath(capture.path());
    writeBmp(capture.filePath(QStringLiteral("final.bmp")), smoothImage({320, 180}));
    writeBytes(capture.filePath(QStringLiteral("frame.txt")), QByteArray("draw 1 prim=3\n").repeated(500));
    writeBmp(capture.filePath(QStringLiteral("tex_a.bmp")), noiseImage({16, 16}, 3));
    for (int n = 0; n < frames; ++n)
        writeBmp(capture.filePath(QStringLiteral("next_%1.bmp").arg(n, 2, 10, QLatin1Char('0'))),
                 smoothImage({64, 36}));
    return capture.path();
}

QString binary(const QString &name)
{
    return QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath(name);
}

int scaled(int ms)
{
    bool ok = false;
    const double f = qEnvironmentVariable("ORX_TEST_TIME_SCALE").toDouble(&ok);
    return int(ms * (ok && f > 0 ? f : 1.0));
}

Launcher::Launcher()
{
    cfg::resetForTesting();
    cfg::setAppDirForTesting(QDir(m_dir.path()).filePath(QStringLiteral("app")));
    QDir().mkpath(QDir(m_dir.path()).filePath(QStringLiteral("app")));
    cfg::init(QDir(m_dir.path()).filePath(QStringLiteral("data/orx-launcher.ini")));
    cfg::set(cfg::gameKey(cfg::keys::gameFolder, QStringLiteral("orx")),
             QDir(m_dir.path()).filePath(QStringLiteral("gamefolder")));
    server = std::make_unique<ServerClient>();
    ServerClient::Timing t = server->timing();
    t.reconnectFirstMs = 50;
    t.reconnectMaxMs = 200;
    server->setTiming(t);
}

Launcher::~Launcher()
{
    sender.reset();
    if (game) {
        game->stop();
        QTest::qWait(0);
    }
    game.reset();
    server.reset();
    cfg::resetForTesting();
}

bool Launcher::startGame(const QStringList &arguments, QString *error)
{
    game = std::make_unique<GameProcess>(QStringLiteral("orx"), 1);
    game->setArguments(QStringList{QStringLiteral("--boot-ms"), QStringLiteral("0")} + arguments);
    return game->start(binary(QStringLiteral("orx-testgame")), error, true);
}

void Launcher::makeSender(const ReportSender::Timing &timing)
{
    sender =
        std::make_unique<ReportSender>(server.get(), [this] { return QList<GameProcess *>{game.get()}; });
    sender->setTiming(timing);
    QObject::connect(sender.get(), &ReportSender::logLine, sender.get(),
                     [this](const QString &text) { lines << text; });
}

} // namespace reporttest
