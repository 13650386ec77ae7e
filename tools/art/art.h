#pragma once
// The launcher's pictures and sound, drawn from paths and numbers only.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

namespace art {

// The application icon at one of its sizes; 16 and 24 are drawn simpler for their size.
QImage icon(int size);
// The product logo (the emblem), square.
QImage logo(int size);
// The badge of the rank at `index` (0 = lowest of the server's table), square.
QImage rankBadge(int index, int size);
// The picture of an account without a rank.
QImage defaultPicture(int size);
// The match-found chime: a short two-strike bell, 16-bit PCM mono WAV.
QByteArray chimeWav();

// Every file the generator writes, relative to its output folder, and its content.
struct Output {
    QString path;
    QImage image;   // null for the sound
    QByteArray raw; // the sound
};
QList<Output> everything();

} // namespace art
