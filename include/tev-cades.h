// CAdES-BES builder: CMS SignedData with signed attributes, signed on a token
// through the PKCS#11 layer (or the AKIS card road).
#pragma once

#include <QByteArray>

#include "quessel-tasks.h"

namespace tev {
namespace quessel {
namespace cades {

// Signs the task's data. On success *out holds the DER of the ContentInfo as
// hexadecimal text. Returns the result of signing-context preparation; every
// later failure is thrown as an integer response code (or a raw unsigned
// card/PKCS#11 code) and leaves *out unchanged.
int signData(QByteArray* out, SigningTask* task);

// Same as signData over the task's ready digest (empty data, detached).
int signDigest(QByteArray* out, SigningTask* task);

}  // namespace cades
}  // namespace quessel
}  // namespace tev
