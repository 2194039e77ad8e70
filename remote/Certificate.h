// The station's TLS identity. At the first start the station makes an EC P-256 key and a
// self-signed certificate (ten years, CN "Kanalo") in ~/.config/kanalo/ (remote.key, remote.crt,
// mode 0600); the operator checks its SHA-256 fingerprint against what the browser shows.
// "remote.cert" and "remote.key" in kanalo.conf name a certificate of the operator's own.
// Thread: main thread (file creation is not guarded against a second process doing the same).
#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <string>

namespace remote {

struct Identity {
  QSslCertificate certificate;
  QSslKey key;
  std::string fingerprint;  // "AB:CD:..." SHA-256 of the certificate's DER form
};

// Loads the pair at `certPath`/`keyPath`; when both are missing and `create` is set, makes and
// stores a new one first. False with a reason in `error` otherwise (unreadable, not matching,
// not PEM).
bool LoadOrCreateIdentity(const std::string& certPath, const std::string& keyPath, bool create,
                          Identity& out, std::string* error);
// The default pair in the configuration folder, or the operator's own from kanalo.conf.
bool LoadStationIdentity(Identity& out, std::string* error);
std::string Fingerprint(const QSslCertificate& cert);
// The fingerprint of the station's identity as last loaded (for the "Info" box); empty before.
const std::string& StationFingerprint();

}  // namespace remote
