#pragma once

#include <QtGlobal>

#if defined(JSONRPC_LIBRARY)
#define JSONRPC_EXPORT Q_DECL_EXPORT
#else
#define JSONRPC_EXPORT Q_DECL_IMPORT
#endif
