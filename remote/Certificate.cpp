#include "remote/Certificate.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/Host.h"

namespace remote {

namespace {

std::string& LastFingerprint() {
  static std::string f;
  return f;
}

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string BioText(BIO* b) {
  char* data = nullptr;
  long n = BIO_get_mem_data(b, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

// Written with mode 0600 from the first byte: a key readable by others even for a moment is a
// key to replace.
bool WritePrivate(const std::string& path, const std::string& text, std::string* error) {
  const std::string tmp = path + ".new";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = "cannot write " + tmp;
    return false;
  }
  ::fchmod(fd, 0600);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  const bool ok = done == text.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool Create(const std::string& certPath, const std::string& keyPath, const std::string& altNames,
            std::string* error) {
  PKey key(EVP_EC_gen("P-256"));
  Cert cert(X509_new());
  if (!key || !cert) {
    if (error) *error = "the key could not be made";
    return false;
  }
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Kanalo"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:FALSE"},
                            std::pair{NID_subject_alt_name, altNames.c_str()},
                            std::pair{NID_ext_key_usage, "serverAuth"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext) {
      X509_add_ext(cert.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    if (error) *error = "the certificate could not be signed";
    return false;
  }
  Bio kb(BIO_new(BIO_s_mem())), cb(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_PrivateKey(kb.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
      !PEM_write_bio_X509(cb.get(), cert.get())) {
    if (error) *error = "the key could not be written";
    return false;
  }
  if (!platform::EnsureParentDir(keyPath) || !platform::EnsureParentDir(certPath)) {
    if (error) *error = "cannot make the folder of " + keyPath;
    return false;
  }
  return WritePrivate(keyPath, BioText(kb.get()), error) &&
         WritePrivate(certPath, BioText(cb.get()), error);
}

}  // namespace

std::string AltNames(const std::vector<std::string>& names) {
  std::vector<std::string> out = {"DNS:localhost", "IP:127.0.0.1", "IP:::1"};
  for (const std::string& n : names) {
    if (n.empty() || n.size() > 253) continue;
    QHostAddress a;
    std::string entry;
    if (a.setAddress(QString::fromStdString(n))) {
      // A wildcard listen address names no host: the host's own names stand for it.
      if (a.isEqual(QHostAddress::AnyIPv4) || a.isEqual(QHostAddress::AnyIPv6)) continue;
      entry = "IP:" + a.toString().toStdString();
    } else {
      // DNS names only: letters, digits, '-' and '.', as the extension's text needs them too.
      if (!std::all_of(n.begin(), n.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
          }))
        continue;
      entry = "DNS:" + n;
    }
    if (std::find(out.begin(), out.end(), entry) == out.end()) out.push_back(entry);
  }
  std::string text;
  for (const std::string& e : out) text += (text.empty() ? "" : ",") + e;
  return text;
}

std::string Fingerprint(const QSslCertificate& cert) {
  const QByteArray d = cert.digest(QCryptographicHash::Sha256).toHex().toUpper();
  std::string out;
  for (int i = 0; i < d.size(); i += 2) {
    if (i) out += ':';
    out += d.mid(i, 2).toStdString();
  }
  return out;
}

bool LoadOrCreateIdentity(const std::string& certPath, const std::string& keyPath, bool create,
                          Identity& out, std::string* error,
                          const std::vector<std::string>& names) {
  const bool haveCert = QFileInfo::exists(QString::fromStdString(certPath));
  const bool haveKey = QFileInfo::exists(QString::fromStdString(keyPath));
  if (!haveCert && !haveKey && create) {
    if (!Create(certPath, keyPath, AltNames(names), error)) return false;
  } else if (!haveCert || !haveKey) {
    if (error) *error = "missing " + (haveCert ? keyPath : certPath);
    return false;
  }
  QFile cf(QString::fromStdString(certPath)), kf(QString::fromStdString(keyPath));
  if (!cf.open(QIODevice::ReadOnly) || !kf.open(QIODevice::ReadOnly)) {
    if (error) *error = "cannot read " + (cf.isOpen() ? keyPath : certPath);
    return false;
  }
  const auto certs = QSslCertificate::fromData(cf.read(1 << 20), QSsl::Pem);
  const QByteArray keyText = kf.read(1 << 20);
  QSslKey key(keyText, QSsl::Ec, QSsl::Pem);
  if (key.isNull()) key = QSslKey(keyText, QSsl::Rsa, QSsl::Pem);
  if (certs.isEmpty() || certs.front().isNull()) {
    if (error) *error = certPath + " holds no PEM certificate";
    return false;
  }
  if (key.isNull()) {
    if (error) *error = keyPath + " holds no PEM EC or RSA key";
    return false;
  }
  out.certificate = certs.front();
  out.key = key;
  out.fingerprint = Fingerprint(out.certificate);
  LastFingerprint() = out.fingerprint;
  return true;
}

bool LoadStationIdentity(Identity& out, std::string* error) {
  const auto& cfg = platform::HostConfig::Instance();
  const std::string dir =
      QFileInfo(QString::fromStdString(platform::HostConfig::DefaultPath())).path().toStdString();
  const std::string cert = cfg.GetValid("remote.cert", ""), key = cfg.GetValid("remote.key", "");
  if (!cert.empty() || !key.empty()) {
    if (cert.empty() || key.empty()) {
      if (error) *error = "remote.cert and remote.key go together";
      return false;
    }
    return LoadOrCreateIdentity(cert, key, false, out, error);
  }
  // The names the browser may reach the station by: where it listens, and the host's names.
  std::vector<std::string> names;
  const std::string listen = cfg.Get("remote.listen");
  const size_t colon = listen.rfind(':');
  if (colon != std::string::npos) {
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    names.push_back(host);
  }
  const std::string hostName = QHostInfo::localHostName().toStdString();
  const std::string domain = QHostInfo::localDomainName().toStdString();
  names.push_back(hostName);
  if (!domain.empty() && hostName.find('.') == std::string::npos)
    names.push_back(hostName + "." + domain);
  return LoadOrCreateIdentity(dir + "/remote.crt", dir + "/remote.key", true, out, error, names);
}

const std::string& StationFingerprint() {
  return LastFingerprint();
}

}  // namespace remote
