#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// Loads the server's certificate and key. With no files given, uses "server-cert.pem" and
// "server-key.pem" in the data folder, generating them with the openssl tool on first start.
bool loadOrCreateCertificate(const QString &certFile, const QString &keyFile, const QString &dataDir,
                             QSslCertificate &cert, QSslKey &key, QString *error);

// SHA-256 of the certificate in the display form the launcher pins: upper-case pairs joined by ':'.
QString certificateFingerprint(const QSslCertificate &cert);
