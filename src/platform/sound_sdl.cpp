// The chime through SDL audio: the wave bytes are read once per path, decoded by SDL and queued on
// one audio device that stays open for the life of the process.

#include "platform.h"

#include <QFile>
#include <QHash>
#include <SDL.h>

namespace platform {

namespace {

struct Sound {
    SDL_AudioSpec spec{};
    Uint8 *samples = nullptr;
    Uint32 length = 0;
};

struct Player {
    bool initDone = false;
    bool audioOk = false;
    SDL_AudioDeviceID device = 0;
    SDL_AudioSpec deviceSpec{};
    QHash<QString, QByteArray> files; // kept for the life of the process, main thread only
};

Player &player()
{
    static Player p;
    return p;
}

} // namespace

bool playSound(const QString &path)
{
    Player &p = player();
    QByteArray bytes = p.files.value(path);
    if (bytes.isEmpty()) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        bytes = f.readAll();
        if (bytes.isEmpty())
            return false;
        p.files.insert(path, bytes);
    }
    if (!p.initDone) {
        p.initDone = true;
        p.audioOk = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    }
    if (!p.audioOk)
        return false;

    Sound sound;
    SDL_RWops *rw = SDL_RWFromConstMem(bytes.constData(), int(bytes.size()));
    if (!rw || !SDL_LoadWAV_RW(rw, 1, &sound.spec, &sound.samples, &sound.length))
        return false;
    if (p.device == 0) {
        p.device = SDL_OpenAudioDevice(nullptr, 0, &sound.spec, &p.deviceSpec, 0);
        if (p.device == 0) {
            SDL_FreeWAV(sound.samples);
            return false;
        }
    }
    bool ok = false;
    SDL_AudioCVT cvt;
    const int built = SDL_BuildAudioCVT(&cvt, sound.spec.format, sound.spec.channels, sound.spec.freq,
                                        p.deviceSpec.format, p.deviceSpec.channels, p.deviceSpec.freq);
    if (built >= 0) {
        QByteArray buffer(qsizetype(sound.length) * (cvt.len_mult > 0 ? cvt.len_mult : 1), '\0');
        memcpy(buffer.data(), sound.samples, sound.length);
        cvt.buf = reinterpret_cast<Uint8 *>(buffer.data());
        cvt.len = int(sound.length);
        if (built == 0 || SDL_ConvertAudio(&cvt) == 0) {
            const int len = built == 0 ? int(sound.length) : cvt.len_cvt;
            SDL_ClearQueuedAudio(p.device);
            ok = SDL_QueueAudio(p.device, buffer.constData(), Uint32(len)) == 0;
            SDL_PauseAudioDevice(p.device, 0);
        }
    }
    SDL_FreeWAV(sound.samples);
    return ok;
}

} // namespace platform
