#include "tlscert.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

bool readFile(const QString &path, QByteArray &out, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    out = f.readAll();
    return true;
}

bool generate(const QString &certPath, const QString &keyPath, QString *error)
{
    // Written under temporary names first so an interrupted start never leaves half a pair behind.
    const QString certTmp = certPath + ".part", keyTmp = keyPath + ".part";
    QFile::remove(certTmp);
    QFile::remove(keyTmp);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    // ECDSA P-256: each handshake costs the server a fraction of what an RSA key's does.
    p.start("openssl",
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-sha256",
             "-days", "3650", "-subj", "/CN=orx-server", "-keyout", keyTmp, "-out", certTmp});
    if (!p.waitForStarted(10000)) {
        *error =
            QStringLiteral("Cannot run openssl to make the server's certificate: %1").arg(p.errorString());
        return false;
    }
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("openssl could not make the server's certificate: %1")
                     .arg(QString::fromLocal8Bit(p.readAll()).trimmed());
        return false;
    }
    QFile::setPermissions(keyTmp, QFile::ReadOwner | QFile::WriteOwner);
    QFile::remove(certPath);
    QFile::remove(keyPath);
    if (!QFile::rename(keyTmp, keyPath) || !QFile::rename(certTmp, certPath)) {
        *error =
            QStringLiteral("Cannot put the new certificate in place in %1.").arg(QFileInfo(certPath).path());
        return false;
    }
    return true;
}

} // namespace

bool loadOrCreateCertificate(const QString &certFile, const QString &keyFile, const QString &dataDir,
                             QSslCertificate &cert, QSslKey &key, QString *error)
{
    QString certPath = certFile, keyPath = keyFile;
    if (certPath.isEmpty()) {
        certPath = QDir(dataDir).filePath("server-cert.pem");
        keyPath = QDir(dataDir).filePath("server-key.pem");
        if (!QFile::exists(certPath) || !QFile::exists(keyPath)) {
            if (!generate(certPath, keyPath, error))
                return false;
        }
    }
    QByteArray certPem, keyPem;
    if (!readFile(certPath, certPem, error) || !readFile(keyPath, keyPem, error))
        return false;
    const QList<QSslCertificate> certs = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (certs.isEmpty() || certs.first().isNull()) {
        *error = QStringLiteral("%1 holds no PEM certificate.").arg(certPath);
        return false;
    }
    cert = certs.first();
    key = QSslKey(keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) {
        *error = QStringLiteral("%1 holds no RSA or EC private key in PEM form.").arg(keyPath);
        return false;
    }
    return true;
}

QString certificateFingerprint(const QSslCertificate &cert)
{
    const QString hex = QString::fromLatin1(cert.digest(QCryptographicHash::Sha256).toHex()).toUpper();
    QStringList pairs;
    for (int i = 0; i < hex.size(); i += 2)
        pairs << hex.mid(i, 2);
    return pairs.join(':');
}
