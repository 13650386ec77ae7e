#pragma once
// The demo release: a disc image, two title updates and a downloadable content package, generated
// byte for byte the same on every run. The shipped game definition names their hashes.

#include <QString>
#include <QStringList>

namespace demo {

constexpr quint32 titleId = 0x5D3A0F21;
constexpr quint32 mediaId = 0x2C71E9B0;
constexpr quint32 discVersion = 0x00000002;    // 0.0.0.2
constexpr quint32 update3Version = 0x00000302; // 0.0.3.2
constexpr quint32 update1Version = 0x00000102; // 0.0.1.2

inline const char discName[] = "Ironmere IV (World).iso";
inline const char update3Package[] = "TU_ORX_0003O2";
inline const char update1Package[] = "TU_ORX_0001O2";
inline const char dlcPackage[] = "ORX_DLC_0013";

// Writes the four files into `dir` (created when missing); `written` receives their paths.
bool make(const QString &dir, QStringList *written, QString *error);

} // namespace demo
