#include "app/Instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/StationNames.h"
#include "platform/Host.h"
#include "rtl/Dialogs.h"

namespace app {

namespace {

// A socket name per user and folder: the folder's path is too long for a socket path.
QString ServerName(const std::string& dataDir) {
  std::error_code ec;
  std::string key = std::filesystem::weakly_canonical(dataDir, ec).string();
  if (ec) key = dataDir;
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha1).toHex();
  return QString("kanalo-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash.left(16)));
}

}  // namespace

TInstanceLock::TInstanceLock() = default;

TInstanceLock::~TInstanceLock() {
  server_.reset();
  if (fd_ >= 0) ::close(fd_);
}

bool TInstanceLock::Acquire(const std::string& dataDir) {
  dataDir_ = dataDir;
  std::error_code ec;
  std::filesystem::create_directories(dataDir, ec);
  const std::string path = (std::filesystem::path(dataDir) / ".kanalo.lock").string();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    // A folder that holds no lock file (read-only, not ours) must not keep the station from
    // starting, nor let two stations share it unseen: the lock goes to the user's runtime
    // folder under the folder's name, and the operator is told why.
    const int why = errno;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime && *runtime ? runtime : "/tmp";
    const std::string fallback = dir + "/" + ServerName(dataDir).toStdString() + ".lock";
    fd = ::open(fallback.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    problem_ = "Im Datenordner " + DisplayPath(dataDir) +
               " kann keine Sperrdatei angelegt werden (" + std::strerror(why) + ")" +
               (fd >= 0 ? "; die Sperre liegt in " + fallback
                        : "; eine zweite Station auf diesem Ordner wird nicht erkannt") +
               ". Protokoll und Mailbox brauchen einen beschreibbaren Datenordner.";
    if (fd < 0) return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return !held;
  }
  fd_ = fd;
  return true;
}

void TInstanceLock::Listen(std::function<void()> raise) {
  if (fd_ < 0) return;
  const QString name = ServerName(dataDir_);
  // We hold the lock: a socket left under this name is a dead station's.
  QLocalServer::removeServer(name);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                   [s = server_.get(), raise = std::move(raise)] {
                     while (QLocalSocket* c = s->nextPendingConnection()) {
                       c->deleteLater();
                       if (raise) raise();
                     }
                   });
  server_->listen(name);
}

bool TInstanceLock::Knock(const std::string& dataDir) {
  // The connection is the knock: the running station raises its window when it takes it, from
  // its own event loop, whether or not this process is still there.
  QLocalSocket socket;
  socket.connectToServer(ServerName(dataDir));
  return socket.waitForConnected(2000);
}

std::string TInstanceLock::AlreadyRunningText(const std::string& dataDir) {
  return "Kanalo läuft bereits mit dem Datenordner " + DisplayPath(dataDir) +
         ". Das laufende Fenster wird nach vorn geholt.\n\nEine zweite Station braucht einen "
         "eigenen Datenordner (\"root\" in kanalo.conf).";
}

bool TakeInstanceLock(TInstanceLock& lock) {
  const std::string dir = platform::ToHostPath("C:\\Kanalo");
  if (lock.Acquire(dir)) return true;
  TInstanceLock::Knock(dir);
  rtl::Dialogs().MessageBox(TInstanceLock::AlreadyRunningText(dir), "Kanalo", rtl::mtInformation,
                            rtl::mbOK);
  return false;
}

}  // namespace app
