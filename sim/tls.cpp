#include "tls.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace Sim {

namespace {

bool readSmallFile(const QString &path, const char *what, QByteArray *data, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the %1 file %2: %3").arg(QLatin1String(what), path, file.errorString());
        return false;
    }
    if (file.size() > MaxTlsFileBytes) {
        *error = QStringLiteral("%1 is too large for a %2 file").arg(path, QLatin1String(what));
        return false;
    }
    *data = file.readAll();
    return true;
}

} // namespace

bool serverTlsConfiguration(const QString &certFile, const QString &keyFile, QSslConfiguration *out,
                            QString *error)
{
    QString why;
    QByteArray certData, keyData;
    if (!readSmallFile(certFile, "certificate", &certData, &why) || !readSmallFile(keyFile, "key", &keyData, &why)) {
        *error = why;
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certData, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(certFile);
        return false;
    }
    QSslKey key(keyData, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull())
        key = QSslKey(keyData, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull()) {
        *error = QStringLiteral("%1 holds no RSA or EC private key in PEM without a passphrase").arg(keyFile);
        return false;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    // The server asks nothing of its clients.
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    *out = config;
    return true;
}

} // namespace Sim
