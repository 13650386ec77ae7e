#pragma once
// The files of one F3 report, built from a capture folder and its session: the pictures shrunk to
// JPEG, the frame dump, the textures as PNG within their budget, the end of the game's log without
// addresses or user names, and the information file. Plain functions, safe on a worker thread.

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>

namespace report {

// The limits of what one report carries.
inline constexpr int FinalWidth = 1920;
inline constexpr int FinalQuality = 90;
inline constexpr int FrameWidth = 1280;
inline constexpr int FrameQuality = 85;
inline constexpr int FrameFiles = 20;
inline constexpr qint64 DumpBytes = 8LL * 1024 * 1024;
inline constexpr qint64 TextureBudget = 4LL * 1024 * 1024;
inline constexpr int TextureNameChars = 36;
inline constexpr qint64 LogTailBytes = 256LL * 1024;
inline constexpr qsizetype PartBytes = 11400;

struct ReportFile {
    QString name;
    QByteArray bytes; // as sent: compressed when `compressed`
    bool compressed = false;
};

// What the information file tells besides the capture itself; read from the settings beforehand.
struct ReportContext {
    QString gameId;
    QString sessionDir;
    QString captureDir;
    QString displayMode;
    QString displayResolution;
    bool vsync = true;
    QDateTime sentAt; // UTC
};

// The name of the picture each capture frame "next_NN.bmp" is sent as: "next_NN.jpg".
QString frameName(int n, const QString &suffix);

// Loads a capture picture as Qt reads it (its allocation limit applies); a null image when it does
// not load.
QImage loadPicture(const QString &path);
// Smooth-scaled to `maxWidth` when wider (height in proportion, never enlarged), 24-bit RGB, JPEG.
// Empty when no JPEG writer exists or encoding fails.
QByteArray encodeJpeg(const QImage &image, int maxWidth, int quality);
QByteArray encodePng(const QImage &image);
// Whether this Qt installation can write JPEG (it is a plugin).
bool canWriteJpeg();

// Qt's compressed layout at zlib level 9: a 4-byte big-endian length, then the zlib stream.
QByteArray compress(const QByteArray &bytes);

// The texture files "tex_*.bmp" of a capture, smallest first (ties by name).
QStringList textureFiles(const QString &captureDir);
// The name a texture file is sent as: its base name cut to 36 characters, plus ".png".
QString textureName(const QString &fileName);

// The two replacements applied to the whole log text, read and written back as Latin-1 so every
// other byte stays as it was.
QByteArray anonymiseLog(const QByteArray &latin1);
// The last `LogTailBytes` of a file (all of it when smaller); false when it does not open.
bool readTail(const QString &path, qint64 bytes, QByteArray *out);

// The UTF-8 text of "info.txt".
QByteArray infoText(const ReportContext &context);

// The number of "report_file" messages a file of `size` bytes takes: max(1, ceil(size / 11400)).
int partCount(qsizetype size);
// The bytes of each of those messages, in order (one empty part for an empty file).
QList<QByteArray> splitParts(const QByteArray &bytes);

// The messages that carry `files` as report `reportId`: every part of every file in order, then
// "report_done".
QList<QJsonObject> reportMessages(const QString &reportId, const QString &gameId,
                                  const QList<ReportFile> &files);

// Builds every file of the report in order. Stops early (returning what it has) when `cancel` is
// set. `jpegMissing` (optional) is set when pictures were left out because JPEG cannot be written.
QList<ReportFile> buildReportFiles(const ReportContext &context, const std::atomic<bool> *cancel = nullptr,
                                   bool *jpegMissing = nullptr);

} // namespace report
