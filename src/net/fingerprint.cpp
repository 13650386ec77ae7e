#include "fingerprint.h"

#include <QCryptographicHash>
#include <QSslCertificate>

QString normalizeFingerprint(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text.toLower()) {
        if ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
            (c >= QLatin1Char('a') && c <= QLatin1Char('f')))
            out.append(c);
    }
    return out;
}

QString formatFingerprint(const QString &text)
{
    const QString hex = normalizeFingerprint(text).toUpper();
    QString out;
    out.reserve(hex.size() * 3 / 2);
    for (qsizetype i = 0; i < hex.size(); i += 2) {
        if (i > 0)
            out.append(QLatin1Char(':'));
        out.append(hex.mid(i, 2));
    }
    return out;
}

QString sha256Fingerprint(const QSslCertificate &certificate)
{
    if (certificate.isNull())
        return QString();
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}
