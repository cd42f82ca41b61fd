#pragma once

#include <QSslConfiguration>
#include <QString>

namespace Sim {

// Certificate and key files larger than this are not what they claim to be.
constexpr qint64 MaxTlsFileBytes = 4 * 1024 * 1024;

// The TLS settings of a server that shows the certificate (chain) in certFile and holds its
// private key in keyFile, both PEM; the key may be RSA or EC, not protected by a passphrase.
// On failure returns false and says why in *error.
bool serverTlsConfiguration(const QString &certFile, const QString &keyFile, QSslConfiguration *out,
                            QString *error);

} // namespace Sim
