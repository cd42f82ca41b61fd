#pragma once

#include <QSslConfiguration>
#include <QString>

#include "jsonrpcexport.h"

namespace JsonRpcTrust {

// Certificate files larger than this are not certificate files.
constexpr qint64 MaxCaFileBytes = 4 * 1024 * 1024;

// The TLS settings of a client that trusts the system's store and, besides, the
// certificate authorities in the PEM file caFile (empty: none). On failure returns false
// and says why in *error (a file that cannot be read, or holds no certificate).
JSONRPC_EXPORT bool configuration(const QString &caFile, QSslConfiguration *out, QString *error);

} // namespace JsonRpcTrust
