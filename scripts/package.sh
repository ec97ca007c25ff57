#!/usr/bin/env bash
# Packs the setup as one self-extracting file for Linux desktops (makeself): the bundle, the Qt,
# libcurl, libplist and libsodium libraries with the Qt plugins it needs, what of their own
# dependencies a stock desktop may lack, and squashfuse, all finding each other through RPATHs.
# Run, it unpacks into a private temporary folder, starts the setup there and removes the folder
# when the setup ends; arguments for the setup follow "--" (`QuorvelSetup-x86_64.run -- ARGS`).
#
# Usage: scripts/package.sh [--demo] [--gzip | --xz]
#          builds the release (or demo) preset, writes build/package/QuorvelSetup-<arch>.run
#        scripts/package.sh --bundle DIR --out FILE [--gzip | --xz]
#          packs an already built bundle (the executable quorvel-setup, Resources/, libexec/)
set -euo pipefail
root=$(realpath "$(dirname "$0")/..")

preset=release bundle='' out='' compression=xz
while [ $# -gt 0 ]; do
  case $1 in
    --demo) preset=demo ;;
    --bundle) bundle=$(realpath "$2"); shift ;;
    --out) out=$(realpath -m "$2"); shift ;;
    --gzip | --xz) compression=${1#--} ;;
    *) echo "usage: $0 [--demo] [--gzip | --xz] | --bundle DIR --out FILE" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$bundle" ]; then
  [ -z "$out" ] || { echo "--out goes with --bundle" >&2; exit 2; }
  if [ "$preset" = demo ]; then
    # The demo preset names build/demo-server/ca.pem as its only trust anchor.
    bash "$root/scripts/release-server.sh" cert "$root/build/demo-server"
  fi
  cmake -S "$root" --preset "$preset" >/dev/null
  cmake --build "$root/build/$preset" --target quorvel-setup quorvel_tools
  bundle=$root/build/$preset/bundle
  out=$root/build/package/QuorvelSetup-$(uname -m).run
fi
if [ -z "$out" ] || [ ! -x "$bundle/quorvel-setup" ] || [ ! -d "$bundle/Resources" ] ||
  [ ! -d "$bundle/libexec" ]; then
  echo "not a bundle, or no --out: $bundle" >&2
  exit 2
fi
for tool in makeself patchelf; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: scripts/install-deps.sh" >&2; exit 1; }
done

# What every desktop has, by soname, and so is never carried (nor what only it needs). The
# libxcb package's own libraries are here; the xcb-util family (icccm, image, keysyms, ...) is not.
excluded=(
  'ld-linux.*' 'linux-vdso.*' 'lib(c|m|dl|pthread|rt|resolv)\.so.*' # glibc: bound to its own ld.so
  'libstdc\+\+\.so.*' 'libgcc_s\.so.*'           # the compiler's runtime, newer on newer systems
  'libX11(-xcb)?\.so.*' 'libXau\.so.*' 'libXdmcp\.so.*' # X11 core: part of any X session
  'libxcb\.so.*' 'libxcb-(composite|damage|dbe|dpms|dri2|dri3|glx|present|randr|record)\.so.*'
  'libxcb-(render|res|screensaver|shape|shm|sync|xf86dri|xfixes|xinerama|xinput|xkb)\.so.*'
  'libxcb-(xtest|xv|xvmc)\.so.*'                   # the libxcb package: also any X session's
  'lib(GL|EGL|GLX|GLdispatch|OpenGL|drm|gbm)\.so.*' # GL: the drivers must match the hardware
  'libfontconfig\.so.*' 'libfreetype\.so.*'        # fonts: the desktop's own configuration
  'libdbus-1\.so.*' 'libsystemd\.so.*' 'libudev\.so.*' # the session's buses and devices
  'lib(glib|gobject|gio|gmodule|gthread)-2\.0\.so.*' # GLib: every desktop is built on it
  'libz\.so.*' 'libexpat\.so.*'                    # the base system's
)
excluded_re="^($(IFS='|'; echo "${excluded[*]}"))\$"

qt_plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/QuorvelSetup
mkdir -p "$tree/lib" "$tree/plugins"
# The e2e bundle holds Resources and libexec as links: what they lead to is packed.
cp -L "$bundle/quorvel-setup" "$tree/"
cp -RL "$bundle/Resources" "$bundle/libexec" "$tree/"
cp -L /usr/bin/squashfuse "$tree/libexec/"

# Plugins: the X11 platform (Wayland's only where this Qt has it), its GL integrations, input
# methods, and image formats only for what Resources hold beyond PNG, which Qt reads itself.
plugin_globs=(platforms/libqxcb.so 'xcbglintegrations/*.so' 'platforminputcontexts/*.so'
  'platforms/libqwayland*.so' 'wayland-*/*.so')
for ext in $(find "$tree/Resources" -type f -name '*.*' | sed 's/.*\.//' | sort -u); do
  case $ext in
    svg) plugin_globs+=(imageformats/libqsvg.so iconengines/libqsvgicon.so) ;;
    jpg | jpeg) plugin_globs+=(imageformats/libqjpeg.so) ;;
    gif | ico) plugin_globs+=("imageformats/libq$ext.so") ;;
  esac
done
for glob in "${plugin_globs[@]}"; do
  for plugin in "$qt_plugins"/$glob; do
    [ -f "$plugin" ] || continue
    mkdir -p "$tree/plugins/$(basename "$(dirname "$plugin")")"
    cp -L "$plugin" "$tree/plugins/${plugin#"$qt_plugins"/}"
  done
done

is_elf() { [ "$(head -c4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }
roots=("$tree/quorvel-setup" "$tree"/plugins/*/*.so)
for f in "$tree"/libexec/*; do is_elf "$f" && roots+=("$f"); done

# Where this system finds each library the roots need, directly or not.
declare -A found=()
while read -r name _ path _; do
  [[ $path == /* ]] && found[$name]=$path
done < <(for f in "${roots[@]}"; do ldd "$f"; done)
# The carried libraries: what the roots need, and what those need, but never an excluded one nor
# what only an excluded one needs (the system's copy comes with its own).
queue=("${roots[@]}")
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for name in $(patchelf --print-needed "$file"); do
    [[ $name =~ $excluded_re ]] && continue
    [ -e "$tree/lib/$name" ] && continue
    [ -n "${found[$name]:-}" ] || { echo "$file needs $name, which is not found" >&2; exit 1; }
    cp -L "${found[$name]}" "$tree/lib/$name"
    queue+=("$tree/lib/$name")
  done
done

# Each finds the carried libraries before any other, LD_LIBRARY_PATH's included (DT_RPATH).
chmod -R u+w,go-w "$tree"
for f in "$tree/quorvel-setup" "$tree"/libexec/* "$tree"/lib/* "$tree"/plugins/*/*.so; do
  is_elf "$f" || continue
  # shellcheck disable=SC2016 # $ORIGIN is the loader's
  case $f in
    "$tree/quorvel-setup") rpath='$ORIGIN/lib' ;;
    "$tree"/libexec/*) rpath='$ORIGIN/../lib' ;;
    "$tree"/lib/*) rpath='$ORIGIN' ;;
    *) rpath='$ORIGIN/../../lib' ;;
  esac
  strip --strip-debug "$f"
  patchelf --force-rpath --set-rpath "$rpath" "$f"
done
# Qt takes its plugins from here alone, never from the system's Qt.
printf '[Paths]\nPrefix = .\nPlugins = plugins\n' >"$tree/qt.conf"
cat >"$tree/start.sh" <<'EOF'
#!/bin/sh
# makeself runs this in the unpacked folder with a umask of its own; the setup runs as the user
# started it: in the user's folder, with the user's umask, environment and arguments. Plugin
# paths are dropped: they would lead this Qt to another Qt's plugins.
here=$(pwd)
umask "$1"
shift
cd "$USER_PWD" || cd /
unset QT_PLUGIN_PATH QT_QPA_PLATFORM_PLUGIN_PATH
exec "$here/quorvel-setup" "$@"
EOF
chmod 755 "$tree/start.sh"

mkdir -p "$(dirname "$out")"
rm -f "$out"
# xz (the default): about 22 MiB where gzip makes 32, for a second more to unpack (see
# bench/package_bench.sh). Its level 6 unpacks as fast as 9 in a 9 MiB window instead of 65,
# for half a MiB more. Both formats check their own CRC as they unpack, so makeself's MD5 and
# CRC passes over the whole file are left out: they only add to the start-up.
level=9
[ "$compression" = gzip ] || level=6
# The header hands the user's umask, saved before it sets its own, as the first argument.
# shellcheck disable=SC2016 # expanded by the unpacking script
makeself --quiet --nox11 --noprogress --nomd5 --nocrc --"$compression" --complevel "$level" \
  --tar-quietly "$tree" "$out" 'Quorvel Setup' ./start.sh '$ORIG_UMASK'
echo "$out: $(du -m "$out" | cut -f1) MiB ($compression), $(find "$tree/lib" -type f | wc -l) libraries"
