// The station's real Qt dialogs, driven as an operator would: German texts beside the German
// menus, and input boxes wide enough for their titles.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/QtDialogs.h"
#include "tests/support/QtApp.h"

namespace {

using app::QtDialogs;

class RealDialogs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::EnsureQtApplication<QApplication>();
    german_ = QtDialogs::InstallGermanTranslations();
  }
  // Runs `look` on the dialog the station opens next, then lets the operator cancel it.
  template <class D>
  void WhenOpen(std::function<void(D&)> look) {
    QTimer::singleShot(0, [look] {
      auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr) << "no dialog of the expected kind is open";
      look(*d);
      if (d->isVisible()) d->reject();
    });
  }
  static std::vector<std::string> ButtonTexts(QWidget& w) {
    std::vector<std::string> out;
    for (auto* b : w.findChildren<QAbstractButton*>())
      out.push_back(b->text().remove('&').toStdString());  // without the mnemonics
    return out;
  }
  static bool Has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  }
  static inline bool german_ = false;
  QtDialogs dialogs_;
};

TEST_F(RealDialogs, InputBoxIsGermanAndShowsItsWholeTitle) {
  ASSERT_TRUE(german_) << "Qt's German translations (qt6-translations-l10n) are not installed";
  for (const char* caption : {"Delayzeit für Scanner", "DTMF Emfindlichkeit", "S Offset"}) {
    bool seen = false;
    WhenOpen<QInputDialog>([&](QInputDialog& d) {
      seen = true;
      EXPECT_EQ(d.windowTitle().toStdString(), caption);
      EXPECT_EQ(d.textValue().toStdString(), "40");
      EXPECT_GE(d.width(),
                QFontMetrics(d.font()).horizontalAdvance(QString::fromUtf8(caption)) + 100);
      EXPECT_TRUE(Has(ButtonTexts(d), "Abbrechen")) << ::testing::PrintToString(ButtonTexts(d));
    });
    std::string value = "40";
    EXPECT_FALSE(dialogs_.InputQuery(caption, "Zeit in Ticks von 100ms", value));
    EXPECT_TRUE(seen);
    EXPECT_EQ(value, "40");  // a cancelled box changes nothing
  }
}

TEST_F(RealDialogs, TypedValueComesBack) {
  WhenOpen<QInputDialog>([](QInputDialog& d) {
    d.setTextValue("1500");
    d.accept();
  });
  std::string value = "2000";
  EXPECT_TRUE(dialogs_.InputQuery("ScanPuls", "Pulslänge ", value));
  EXPECT_EQ(value, "1500");
}

TEST_F(RealDialogs, FileDialogsAreGerman) {
  ASSERT_TRUE(german_);
  rtl::TFileDialogOptions o;
  o.Filter = "KVR 100 Einstellungen|*.kvr";
  o.DefaultExt = "kvr";
  bool seen = false;
  WhenOpen<QFileDialog>([&](QFileDialog& d) {
    seen = true;
    EXPECT_EQ(d.nameFilters().join("|").toStdString(), "KVR 100 Einstellungen (*.kvr)");
    EXPECT_TRUE(Has(ButtonTexts(d), "Speichern")) << ::testing::PrintToString(ButtonTexts(d));
  });
  EXPECT_FALSE(dialogs_.SaveFile(o).has_value());
  EXPECT_TRUE(seen);
  seen = false;
  WhenOpen<QFileDialog>([&](QFileDialog& d) {
    seen = true;
    EXPECT_TRUE(Has(ButtonTexts(d), "Öffnen")) << ::testing::PrintToString(ButtonTexts(d));
  });
  EXPECT_FALSE(dialogs_.OpenFile(o).has_value());
  EXPECT_TRUE(seen);
}

// Every column of a file dialog reads whole at the default font, the WAVE files say so, and dates
// and sizes are written the German way.
TEST_F(RealDialogs, FileDialogColumnsReadWhole) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kanalo-dialog-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "20261207143005.Wav") << std::string(843776, 'x');
  std::ofstream(dir / "default.kvr") << std::string(1976, 'x');
  rtl::TFileDialogOptions o;
  o.Filter = "Alle|*";
  o.InitialDir = dir.string();
  bool seen = false;
  WhenOpen<QFileDialog>([&](QFileDialog& d) {
    seen = true;
    auto* view = d.findChild<QTreeView*>();
    ASSERT_NE(view, nullptr);
    QElapsedTimer t;
    for (t.start(); view->model()->rowCount(view->rootIndex()) < 2 && t.elapsed() < 10000;)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();  // the queued fit
    ASSERT_EQ(view->model()->rowCount(view->rootIndex()), 2);
    std::set<std::string> kinds;
    for (int r = 0; r < 2; ++r)
      kinds.insert(view->model()->index(r, 2, view->rootIndex()).data().toString().toStdString());
    EXPECT_EQ(kinds, (std::set<std::string>{"KVR-100-Einstellungen", "WAVE-Audio"}));
    // Dates and sizes German, whatever the environment's locale.
    for (int r = 0; r < 2; ++r) {
      const QModelIndex name = view->model()->index(r, 0, view->rootIndex());
      const QFileInfo info(
          QString::fromStdString((dir / name.data().toString().toStdString()).string()));
      const QLocale german(QLocale::German, QLocale::Germany);
      EXPECT_EQ(view->model()->index(r, 3, view->rootIndex()).data().toString(),
                german.toString(info.lastModified(), QLocale::ShortFormat));
      EXPECT_EQ(view->model()->index(r, 1, view->rootIndex()).data().toString(),
                german.formattedDataSize(info.size()));
    }
    for (int c = 0; c < view->model()->columnCount(view->rootIndex()); ++c) {
      int need = view->header()->sectionSizeHint(c);
      for (int r = 0; r < 2; ++r)
        need = std::max(
            need, view->sizeHintForIndex(view->model()->index(r, c, view->rootIndex())).width());
      EXPECT_GE(view->header()->sectionSize(c), need) << "column " << c;
    }
    EXPECT_LE(view->header()->length(), view->viewport()->width());
  });
  EXPECT_FALSE(dialogs_.OpenFile(o).has_value());
  EXPECT_TRUE(seen);
  fs::remove_all(dir);
}

TEST(QtFilter, DescriptionsGetTheirPatternOnce) {
  EXPECT_EQ(QtDialogs::QtFilter("Wave-Files(*.wav)|*.wav").toStdString(), "Wave-Files(*.wav)");
  EXPECT_EQ(QtDialogs::QtFilter("KVR Einstellungen|*.kvr").toStdString(),
            "KVR Einstellungen (*.kvr)");
  EXPECT_EQ(QtDialogs::QtFilter("A|*.a;*.b|B|*.b").toStdString(), "A (*.a *.b);;B (*.b)");
}

}  // namespace
