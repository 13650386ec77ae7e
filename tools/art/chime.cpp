// The match-found chime: two bell strikes a fifth apart, each a handful of inharmonic partials
// decaying at their own rates, normalised to 70 % of full scale.
#include "art.h"

#include <QtEndian>

#include <cmath>
#include <vector>

namespace art {

namespace {

constexpr int kRate = 44100;
constexpr double kSeconds = 1.4;
constexpr double kPeak = 0.70;

struct Partial {
    double ratio, gain, decay; // decay: per second
};
// Close to a small hand bell's spectrum: hum, prime, minor third, fifth, nominal and above.
const Partial kPartials[] = {
    {0.50, 0.25, 2.2}, {1.00, 1.00, 3.0}, {1.19, 0.35, 4.0}, {1.50, 0.22, 4.5},
    {2.00, 0.45, 5.0}, {2.51, 0.18, 7.0}, {3.01, 0.10, 9.0},
};

void strike(std::vector<double> &out, double at, double f0, double gain)
{
    const size_t start = size_t(at * kRate);
    for (size_t i = start; i < out.size(); ++i) {
        const double t = double(i - start) / kRate;
        // 3 ms attack so the strike does not click.
        const double attack = t < 0.003 ? t / 0.003 : 1.0;
        double v = 0;
        for (const Partial &p : kPartials)
            v += p.gain * std::exp(-p.decay * t) * std::sin(2 * M_PI * f0 * p.ratio * t);
        out[i] += gain * attack * v;
    }
}

void put16(QByteArray &b, quint16 v)
{
    char c[2];
    qToLittleEndian(v, c);
    b.append(c, 2);
}

void put32(QByteArray &b, quint32 v)
{
    char c[4];
    qToLittleEndian(v, c);
    b.append(c, 4);
}

} // namespace

QByteArray chimeWav()
{
    std::vector<double> s(size_t(kSeconds * kRate), 0.0);
    strike(s, 0.0, 1318.51, 0.8);  // E6
    strike(s, 0.14, 1975.53, 1.0); // B6
    double peak = 0;
    for (double v : s)
        peak = std::max(peak, std::abs(v));
    // The last 80 ms fade to silence so the file ends on zero.
    const size_t fade = size_t(0.08 * kRate);
    QByteArray pcm;
    pcm.reserve(int(s.size() * 2));
    for (size_t i = 0; i < s.size(); ++i) {
        double v = s[i] / peak * kPeak;
        if (i + fade >= s.size())
            v *= double(s.size() - 1 - i) / double(fade);
        put16(pcm, quint16(qint16(std::lround(v * 32767.0))));
    }
    QByteArray wav("RIFF");
    put32(wav, quint32(36 + pcm.size()));
    wav.append("WAVEfmt ");
    put32(wav, 16);
    put16(wav, 1); // PCM
    put16(wav, 1); // mono
    put32(wav, kRate);
    put32(wav, kRate * 2);
    put16(wav, 2);
    put16(wav, 16);
    wav.append("data");
    put32(wav, quint32(pcm.size()));
    wav.append(pcm);
    return wav;
}

} // namespace art
