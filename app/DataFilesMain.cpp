// Writes the default data files into the folder given, as a first start writes them into the data
// directory; the build uses it to fill share/kanalo.
#include <QGuiApplication>
#include <cstdio>
#include <filesystem>

#include "app/DataFiles.h"
#include "platform/Host.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kanalo-datafiles DIR\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  const std::filesystem::path out = argv[1];
  const std::filesystem::path root = out.string() + ".root";
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  platform::SetDataRoot(root.string());
  app::UseWindowPictures();
  const auto made = app::InstallDefaultDataFiles();
  std::filesystem::create_directories(out, ec);
  for (const auto& f : made) {
    const auto p = std::filesystem::path(f);
    std::filesystem::rename(p, out / p.filename(), ec);
    if (ec) {
      std::fprintf(stderr, "kanalo-datafiles: %s: %s\n", f.c_str(), ec.message().c_str());
      return 1;
    }
  }
  std::filesystem::remove_all(root, ec);
  return made.size() == 4 ? 0 : 1;
}
