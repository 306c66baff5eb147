#!/usr/bin/env bash
# Installs the built tree into a temporary root and builds both .deb packages from it, then checks
# what a desktop and dpkg will see: the files and their places, the desktop entry
# (desktop-file-validate), the icon sizes, the RUNPATHs, the launcher's per-user folder, the
# package fields and contents (dpkg-deb), and that the two packages share no file.
#
#   test_packages.sh <build folder>
set -euo pipefail
build=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need() { [ -e "$1" ] || fail "missing $1"; }

# --- install into a temporary root
root="$work/root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" || {
  cat "$work/install.log" >&2
  exit 1
}
app="$root/usr/lib/kivora"
for f in usr/bin/kivora usr/lib/kivora/Kivora usr/lib/kivora/KivUpdate usr/lib/kivora/libGlobal.so \
  usr/lib/kivora/libKivUDP.so usr/lib/kivora/Plugins/KivEmote.so usr/lib/kivora/Plugins/KivHint.so usr/lib/kivora/Plugins/KivCatch.so \
  usr/lib/kivora/skins/SkinImage.dat usr/lib/kivora/faces/face000.bmp usr/lib/kivora/EmoteInfo/EmoteInfo.dat \
  usr/lib/kivora/Sounds/Sound1.wav usr/share/applications/kivora.desktop usr/bin/kivora-server \
  usr/share/kivora-server/web/Download/Version.txt usr/share/kivora-server/web/skins/SkinInfo.txt \
  usr/lib/systemd/system/kivora-server.service; do
  need "$root/$f"
done
# Nothing a client run in place writes: settings, user folders, downloads.
stray=$(cd "$app" && find . \( -name 'DBConfig.ini' -o -name 'Datas' -o -name 'SkinInfo.dat' -o -name '*.asz' \
  -o -name 'download' -o -name 'present' -o -name 'server-data' -o -regex '.*/[0-9]+' \) -print)
[ -z "$stray" ] || fail "files of a run in place were installed: $stray"

for size in 16 22 24 32 48 64 128 256; do
  icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/kivora.png"
  need "$icon"
  [ -e "$icon" ] && { file "$icon" | grep -q "PNG image data, $size x $size," || fail "$icon is not $size x $size"; }
done

desktop="$root/usr/share/applications/kivora.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
grep -qx 'Exec=kivora' "$desktop" && grep -qx 'Icon=kivora' "$desktop" || fail "Exec or Icon of $desktop"

for elf in "$app/Kivora" "$app/libGlobal.so" "$app/Plugins/KivEmote.so" "$root/usr/bin/kivora-server"; do
  runpath=$(readelf -d "$elf" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  case "$runpath" in *"$build"* | *"/work/"*) fail "$elf keeps a build RUNPATH: $runpath" ;; esac
done

# --- the launcher's per-user folder
home="$work/home"
mkdir -p "$home"
folder=$(HOME="$home" XDG_DATA_HOME= KIVORA_PREPARE_ONLY=1 "$root/usr/bin/kivora")
[ "$folder" = "$home/.local/share/kivora" ] || fail "launcher folder $folder"
[ -f "$folder/Kivora" ] && [ ! -L "$folder/Kivora" ] || fail "the client program is not a copy of its own"
[ "$(readlink -f "$folder/libGlobal.so")" = "$(readlink -f "$app/libGlobal.so")" ] || fail "libGlobal.so link"
[ -L "$folder/skins/SkinImage.dat" ] && [ -d "$folder/skins" ] && [ ! -L "$folder/skins" ] ||
  fail "skins/ is not a real folder of links"
ldd "$folder/Kivora" | grep -q "libGlobal.so => $folder/libGlobal.so" || fail "the copy does not load its libraries"
mkdir -p "$folder/Datas" && echo mine >"$folder/Datas/SystemInfo.dat"
rm "$folder/Sounds/Sound1.wav" && echo mine >"$folder/Sounds/Sound1.wav"
touch -d '2000-01-01' "$app/Kivora" # as an upgrade changes the program
folder=$(HOME="$home" KIVORA_PREPARE_ONLY=1 "$root/usr/bin/kivora")
cmp -s "$folder/Kivora" "$app/Kivora" || fail "the program copy was not renewed"
[ "$(cat "$folder/Datas/SystemInfo.dat")" = mine ] && [ "$(cat "$folder/Sounds/Sound1.wav")" = mine ] ||
  fail "the launcher overwrote the user's files"

# --- the packages
pkg="$work/pkg"
(cd "$build" && cpack -G DEB -B "$pkg" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  exit 1
}
client=$(ls "$pkg"/kivora_*.deb)
server=$(ls "$pkg"/kivora-server_*.deb)
field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$client" Package)" = kivora ] || fail "client package name"
[ "$(field "$server" Package)" = kivora-server ] || fail "server package name"
for dep in libqt6widgets6 fonts-wqy-microhei; do
  field "$client" Depends | grep -q "$dep" || fail "client Depends lacks $dep: $(field "$client" Depends)"
done
for dep in adduser libsodium23; do
  field "$server" Depends | grep -q "$dep" || fail "server Depends lacks $dep: $(field "$server" Depends)"
done
dpkg-deb -I "$server" postinst >/dev/null && dpkg-deb -I "$server" postrm >/dev/null || fail "server scripts"
# Files only (not folders), as absolute paths.
list() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort; }
list "$client" >"$work/client.list"
list "$server" >"$work/server.list"
for f in /usr/bin/kivora /usr/lib/kivora/Kivora /usr/lib/kivora/Plugins/KivEmote.so /usr/lib/kivora/Plugins/KivCatch.so \
  /usr/share/applications/kivora.desktop /usr/share/icons/hicolor/48x48/apps/kivora.png; do
  grep -qx "$f" "$work/client.list" || fail "client package lacks $f"
done
for f in /usr/bin/kivora-server /usr/lib/systemd/system/kivora-server.service \
  /usr/share/kivora-server/web/Download/Version.txt; do
  grep -qx "$f" "$work/server.list" || fail "server package lacks $f"
done
shared=$(comm -12 "$work/client.list" "$work/server.list")
[ -z "$shared" ] || fail "files in both packages: $shared"
dpkg-deb -x "$client" "$work/extracted"
desktop-file-validate "$work/extracted/usr/share/applications/kivora.desktop" || fail "packaged desktop entry"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install tree and packages: all checks passed"
