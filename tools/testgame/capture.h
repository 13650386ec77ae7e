#pragma once
// F3 captures as the game makes them: a new folder under ORX_CAPTURE_DIR named by the time, with the
// final picture, the frame dump, the textures and a file of the game's own, then the twenty frames
// that follow, one per frame. Every file is written under a temporary name and renamed, so a reader
// never sees half a file. The pictures are drawn here (shapes, gradients, noise; no text, so no
// display or font is needed).

#include <QImage>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

struct CaptureOptions {
    QSize finalSize{1280, 720};
    QSize frameSize{640, 360};
    qint64 dumpBytes = 64 * 1024;
    struct Texture {
        QString name; // without ".bmp"
        QSize size;
    };
    // One name with a blank, one longer than the 36 characters a report keeps.
    QList<Texture> textures{{QStringLiteral("tex_floor"), {64, 64}},
                            {QStringLiteral("tex_hero skin"), {128, 128}},
                            {QStringLiteral("tex_stage_background_far_mountains_layer_02"), {32, 32}}};
    int noise = 24;       // how far each pixel's channels stray at random (0-255)
    bool partial = false; // stop before the last frame
    int frameMs = 16;     // one frame of the game
};

// Reads one capture option at args[i] (moving i past its value). `handled` false when args[i] is
// not a capture option; false with `error` filled on a bad value.
bool parseCaptureOption(const QStringList &args, qsizetype &i, CaptureOptions &options, bool *handled,
                        QString &error);

// A picture of the given size drawn from `seed`: a gradient, shapes, then noise.
QImage drawPicture(QSize size, quint32 seed, int noise);

class CaptureWriter : public QObject {
    Q_OBJECT
public:
    CaptureWriter(const QString &root, const CaptureOptions &options, QObject *parent = nullptr);
    ~CaptureWriter() override;

    // Begins a capture now; `partial` stops this one before its last frame.
    void capture(bool partial);

signals:
    void logLine(const QString &text);

private:
    struct Running;
    void writeFrame(Running *run);

    QString m_root;
    CaptureOptions m_options;
    quint32 m_count = 0;
    QList<Running *> m_running;
};
