#pragma once
// Fixtures of the F3 report tests, built in code: pictures, capture folders, and the launcher's
// side (settings, server link, a running stand-in game and the sender watching it).

#include "game/gameprocess.h"
#include "net/serverclient.h"
#include "report/reportsender.h"

#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace reporttest {

// Every pixel at random: a PNG of it takes about three bytes a pixel.
QImage noiseImage(QSize size, quint32 seed);
// A plain gradient: small as PNG or JPEG.
QImage smoothImage(QSize size);
bool writeBmp(const QString &path, const QImage &image);
bool writeBytes(const QString &path, const QByteArray &bytes);
QByteArray readBytes(const QString &path);

// A capture folder "captures/NAME" under `sessionDir` with a small final picture, `frames` frames
// (20 makes it complete), a frame dump and one texture. Returns its path.
QString makeCapture(const QString &sessionDir, const QString &name, int frames = 20);

QString binary(const QString &name);
int scaled(int ms);

// The launcher's side: a private settings store, a server link, the stand-in game started through
// GameProcess, and a ReportSender watching it; its sentences are collected in `lines`.
class Launcher {
public:
    Launcher();
    ~Launcher();
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }

    bool startGame(const QStringList &arguments, QString *error);
    void makeSender(const ReportSender::Timing &timing);

    std::unique_ptr<ServerClient> server;
    std::unique_ptr<GameProcess> game;
    std::unique_ptr<ReportSender> sender;
    QStringList lines;

private:
    QTemporaryDir m_dir;
};

} // namespace reporttest
