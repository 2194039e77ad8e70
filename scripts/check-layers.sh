#!/usr/bin/env bash
# The layers of the build, checked: each folder includes only the folders below it, and the folders
# that must run without a display include no Qt GUI header (those marked "none" include no Qt at
# all). Run by CTest as the test "layers"; prints every offending line.
set -euo pipefail
cd "$(dirname "$0")/.."

# folder | folders it may include | Qt allowed: none, core (QtCore/QtNetwork only), any
rules=(
  "rtl|rtl|none"
  "platform|platform rtl|none"
  "timers|timers platform rtl|none"
  "comm|comm platform rtl|none"
  "audio|audio platform rtl|none"
  "analysis|analysis audio platform rtl|none"
  "sim|sim platform rtl|none"
  "station|station rtl platform timers comm audio analysis|none"
  "radio|radio station platform rtl|none"
  "controls|controls rtl|any"
  "mixer|mixer controls audio platform rtl|any"
  "net|net station platform rtl|core"
  "remote|remote net station platform rtl|core"
  "publish|publish remote station timers platform rtl|none"
  "tools|tools app analysis audio station platform rtl|none"
)
gui='QWidget|QApplication|QGuiApplication|QPainter|QImage|QPixmap|QColor|QFont|QIcon|QtWidgets|QtGui|QMainWindow|QDialog|QLabel|QPushButton|QCheckBox'
bad=0
for rule in "${rules[@]}"; do
  IFS='|' read -r dir allowed qt <<<"$rule"
  [ -d "$dir" ] || continue
  files=$(git ls-files "$dir" | grep -E '\.(cpp|h)$' || true)
  [ -n "$files" ] || continue
  pattern=$(echo "$allowed" | sed 's/ /|/g')
  while IFS= read -r line; do
    echo "layer violation: $line"
    bad=1
  done < <(grep -nE '#include "[a-z]+/' $files | grep -vE "#include \"($pattern)/" || true)
  case "$qt" in
    none) re='#include <Q' ;;
    core) re="#include <($gui)" ;;
    *) re='' ;;
  esac
  if [ -n "$re" ]; then
    while IFS= read -r line; do
      echo "Qt not allowed here ($qt): $line"
      bad=1
    done < <(grep -nE "$re" $files || true)
  fi
done
# The host (app/'s target kanalo_host, linked by kanalo-headless) includes no Qt GUI header and no
# header of the window's, so that the station without a window never loads Qt Widgets or Gui.
window='app/(Main|Front|Info|Jpeg|LogWindow|QtDialogs)\.h|controls/|mixer/(MMMixCtl|StationMixer)\.h'
host=$(sed -n '/add_library(kanalo_host/,/)/p' app/CMakeLists.txt | grep -oE '[A-Za-z]+\.cpp' || true)
[ -n "$host" ] || { echo "app/CMakeLists.txt names no sources of kanalo_host"; bad=1; }
for src in $host; do
  for f in "app/$src" "app/${src%.cpp}.h"; do
    [ -f "$f" ] || continue
    while IFS= read -r line; do
      echo "not for the host (no widgets): $f:$line"
      bad=1
    done < <(grep -nE "#include <($gui)|#include \"($window)" "$f" || true)
  done
done
# The station's targets link no Qt at all.
if grep -n 'Qt6::' station/CMakeLists.txt; then
  echo "station/ links Qt"
  bad=1
fi
if [ $bad -eq 0 ]; then echo "layers: every folder keeps to its layer"; fi
exit $bad
