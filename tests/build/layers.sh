#!/bin/sh
# layers.sh SRC: every folder of SRC may include only the folders below it. The build already
# refuses a header of a library that is not linked (each library exposes only its own headers);
# this also catches what a link would allow but the layers do not, relative includes that
# reach around the include roots, and GUI, window or sound headers outside the views and the
# platform layer. Prints each upward include and fails when there is one.
set -u
src=$1
status=0

# folder: the project folders its files may include ("view" folders and platform/gui are
# folders of their own).
allowed() {
  case $1 in
    platform)     echo "platform" ;;
    platform/gui) echo "platform platform/gui" ;;
    logs)         echo "logs platform" ;;
    quality)      echo "quality" ;;
    capture)      echo "capture logs platform" ;;
    probe)        echo "probe capture logs platform" ;;
    mtr)          echo "mtr probe capture logs platform quality" ;;
    flow)         echo "flow capture logs platform quality" ;;
    tools)        echo "tools logs platform" ;;
    playback)     echo "playback flow capture logs platform quality" ;;
    ui)           echo "ui mtr flow probe capture logs platform quality" ;;
    mtr/view)     echo "mtr/view ui mtr probe capture logs platform quality" ;;
    flow/view)    echo "flow/view ui playback flow capture logs platform quality" ;;
    tools/view)   echo "tools/view ui tools logs platform" ;;
    cli)          echo "cli ui tools playback mtr flow probe capture logs platform quality" ;;
    app)          echo "app mtr/view flow/view tools/view platform/gui ui tools playback mtr flow probe capture logs platform quality" ;;
    *)            echo "" ;;
  esac
}

for dir in $(cd "$src" && find . -type f \( -name '*.h' -o -name '*.cpp' \) -exec dirname {} \; | sed 's|^\./||' | sort -u); do
  case $dir in */windows) continue ;; esac
  ok=$(allowed "$dir")
  if [ -z "$ok" ]; then
    echo "$dir: a folder with no place in the layers (add it to $0)"; status=1; continue
  fi
  for f in "$src/$dir"/*.h "$src/$dir"/*.cpp; do
    [ -e "$f" ] || continue
    grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$f" | while IFS= read -r line; do
      inc=$(echo "$line" | sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/')
      case $inc in
        ../*|*/../*) echo "$f:$line: reaches around the include roots"; echo x >&3; continue ;;
        */*) ;;
        *) continue ;;  # a header beside the file
      esac
      folder=${inc%/*}
      match=""
      for a in $ok; do [ "$folder" = "$a" ] && match=1; done
      [ -n "$match" ] || { echo "$f:$line: $dir may not include $folder"; echo x >&3; }
    done
    case $dir in
      */view|app|platform|platform/gui) ;;
      *) if grep -n -E '#[[:space:]]*include[[:space:]]*<(imgui|SDL|GL/|X11/|pulse/|curl/|windows\.h)' "$f"; then
           echo "$f: $dir includes a GUI, window or sound header"; echo x >&3
         fi ;;
    esac
  done
done 3>"${TMPDIR:-/tmp}/layers.$$"
[ -s "${TMPDIR:-/tmp}/layers.$$" ] && status=1
rm -f "${TMPDIR:-/tmp}/layers.$$"
[ $status -eq 0 ] && echo "no upward include in $src"
exit $status
