#!/bin/sh
# engine_includes.sh FOLDER: fails when a source file directly in FOLDER (an engine; its views
# live in FOLDER/view) includes a view, the shell, the tabs' shared texts or a GUI header.
set -u
folder=$1
bad=$(grep -n -E '#include *[<"](flow/view/|mtr/view/|app/|ui/|platform/gui/|imgui|SDL)' "$folder"/*.h "$folder"/*.cpp)
if [ -n "$bad" ]; then
  echo "$bad"
  echo "the engine in $folder includes what only views may include" >&2
  exit 1
fi
echo "no upward include in $folder"
