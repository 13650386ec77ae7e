#pragma once
#include <QString>

class QSslCertificate;

// Certificate fingerprints as the player sees and stores them.

// Lower-case hexadecimal digits only; every other character is dropped ("AB:CD" gives "abcd").
QString normalizeFingerprint(const QString &text);
// The normalised form in upper case, in pairs joined by ":" ("abcd" gives "AB:CD").
QString formatFingerprint(const QString &text);
// The SHA-256 digest of the certificate (DER), lower-case hex; empty for a null certificate.
QString sha256Fingerprint(const QSslCertificate &certificate);
