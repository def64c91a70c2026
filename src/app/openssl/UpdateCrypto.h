#pragma once

#include "app/Updates.h"

namespace tovo {

// Ed25519 signature checks through OpenSSL.
SignatureCheck openSSLSignatureCheck();
// GET over http:// or https:// (certificates checked against the system's store) through
// OpenSSL's BIOs; follows no redirects; at most 256 MiB.
Downloader openSSLDownloader();

}  // namespace tovo
