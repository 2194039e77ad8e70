// The station's TLS identity. At the first start the station makes an EC P-256 key and a
// self-signed certificate (ten years, CN "Kanalo") in ~/.config/kanalo/ (remote.key, remote.crt,
// mode 0600); it names localhost, the loopback addresses, the address the front listens on and
// the host's names. The operator checks its SHA-256 fingerprint against what the browser shows.
// "remote.cert" and "remote.key" in kanalo.conf name a certificate of the operator's own.
// Thread: main thread (file creation is not guarded against a second process doing the same).
#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <string>
#include <vector>

namespace remote {

struct Identity {
  QSslCertificate certificate;
  QSslKey key;
  std::string fingerprint;  // "AB:CD:..." SHA-256 of the certificate's DER form
};

// Loads the pair at `certPath`/`keyPath`; when both are missing and `create` is set, makes and
// stores a new one first, naming `names` (host names and addresses) besides localhost and the
// loopback addresses. False with a reason in `error` otherwise (unreadable, not matching, not PEM).
bool LoadOrCreateIdentity(const std::string& certPath, const std::string& keyPath, bool create,
                          Identity& out, std::string* error,
                          const std::vector<std::string>& names = {});
// The subject alternative names a new certificate gets: "DNS:localhost,IP:127.0.0.1,IP:::1" and
// each of `names` (an address as IP:, anything else as DNS:), without repeats or unusable text.
std::string AltNames(const std::vector<std::string>& names);
// The default pair in the configuration folder, or the operator's own from kanalo.conf.
bool LoadStationIdentity(Identity& out, std::string* error);
std::string Fingerprint(const QSslCertificate& cert);
// The fingerprint of the station's identity as last loaded (for the "Info" box); empty before.
const std::string& StationFingerprint();

}  // namespace remote
