#include "trust.h"

#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>

namespace JsonRpcTrust {

bool configuration(const QString &caFile, QSslConfiguration *out, QString *error)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!caFile.isEmpty()) {
        QFile file(caFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QCoreApplication::translate("JsonRpcTrust", "Cannot read the certificate authority file %1: %2")
                            .arg(caFile, file.errorString()));
        if (file.size() > MaxCaFileBytes)
            return fail(QCoreApplication::translate("JsonRpcTrust", "%1 is too large for a certificate authority file")
                            .arg(caFile));
        const QList<QSslCertificate> authorities = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
        if (authorities.isEmpty())
            return fail(QCoreApplication::translate("JsonRpcTrust", "%1 holds no PEM certificate").arg(caFile));
        QList<QSslCertificate> all = config.caCertificates();
        all += authorities;
        config.setCaCertificates(all);
    }
    *out = config;
    return true;
}

} // namespace JsonRpcTrust
