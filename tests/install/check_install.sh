#!/usr/bin/env bash
# Installs a build into a scratch DESTDIR under the prefix /usr, as the Debian package does,
# and checks what a desktop, a software centre and man look for: every file in its place,
# the menu entry and AppStream data valid, the file type readable by shared-mime-info, the
# manual pages rendering without a warning, and the installed programs answering --version
# and --help without a display.
#   check_install.sh BUILD_DIR VERSION [CMAKE]
set -uo pipefail

build=$1
version=$2
cmake=${3:-cmake}
app_id=org.skyvane.Skyvane

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

missing_tools=0
for need in desktop-file-validate:desktop-file-utils appstreamcli:appstream man:man-db \
            update-mime-database:shared-mime-info; do
    if ! command -v "${need%%:*}" >/dev/null; then
        echo "${need%%:*} is missing (Debian package ${need#*:}; ./build.sh installs it)" >&2
        missing_tools=1
    fi
done
[ "$missing_tools" = 0 ] || exit 1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch" # man may read the pages as another user
dest=$scratch/root
if ! DESTDIR=$dest "$cmake" --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log" >&2
    fail "cmake --install failed"
    exit 1
fi
usr=$dest/usr

# Exactly these files, nothing more (no helper tools, test programs or libraries).
sizes=(16 22 24 32 48 64 128 256)
expected=(
    bin/skyvane
    bin/skyvane-batch
    share/applications/$app_id.desktop
    share/metainfo/$app_id.metainfo.xml
    share/mime/packages/$app_id.xml
    share/icons/hicolor/scalable/apps/$app_id.svg
    share/man/man1/skyvane.1.gz
    share/man/man1/skyvane-batch.1.gz
)
for size in "${sizes[@]}"; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/$app_id.png")
done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$usr" && find . -type f -printf '%P\n' | sort) >"$scratch/files.diff" ||
    fail "installed files differ from the expected list (< expected, > installed):
$(cat "$scratch/files.diff")"
if [ -n "$(find "$dest" -mindepth 1 -maxdepth 1 ! -name usr)" ]; then
    fail "files installed outside the prefix: $(find "$dest" -mindepth 1 -maxdepth 1 ! -name usr)"
fi
for program in skyvane skyvane-batch; do
    [ -x "$usr/bin/$program" ] || fail "bin/$program is not executable"
done

# Each PNG is a PNG of its nominal size (width and height from the IHDR chunk).
for size in "${sizes[@]}"; do
    png=$usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
    [ -f "$png" ] || continue
    signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    if [ "$signature" != 89504e470d0a1a0a ] || [ "$width" != "$size" ] || [ "$height" != "$size" ]; then
        fail "${size}x${size} icon is not a ${size} x ${size} PNG (signature $signature, $width x $height)"
    fi
done

# The menu entry: valid, runs an installed program with the file, shows the installed icon,
# offers itself for FITS files.
desktop=$usr/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
    if ! desktop-file-validate "$desktop" >"$scratch/desktop.log" 2>&1 ||
        grep -qE ': (error|warning): ' "$scratch/desktop.log"; then
        fail "desktop-file-validate: $(cat "$scratch/desktop.log")"
    fi
    entry() { sed -n "s/^$1=//p" "$desktop"; }
    [ "$(entry Exec)" = "skyvane %f" ] || fail "Exec is '$(entry Exec)'"
    [ "$(entry Icon)" = "$app_id" ] || fail "Icon is '$(entry Icon)'"
    [ "$(entry GenericName)" = "FITS image viewer" ] || fail "GenericName is '$(entry GenericName)'"
    [ "$(entry Categories)" = "Science;Astronomy;Graphics;Viewer;" ] || fail "Categories is '$(entry Categories)'"
    case ";$(entry MimeType)" in *";image/fits;"*) ;; *) fail "MimeType '$(entry MimeType)' lacks image/fits" ;; esac
fi

# AppStream: valid without the network, and about this menu entry.
metainfo=$usr/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" >"$scratch/appstream.log" 2>&1 ||
        fail "appstreamcli validate: $(cat "$scratch/appstream.log")"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "the AppStream data does not name $app_id.desktop"
fi

# The file type: shared-mime-info compiles it and maps every extension, gzipped or not, to it.
if [ -f "$usr/share/mime/packages/$app_id.xml" ]; then
    mkdir -p "$scratch/mime/packages"
    cp "$usr/share/mime/packages/$app_id.xml" "$scratch/mime/packages/"
    if update-mime-database "$scratch/mime" >"$scratch/mime.log" 2>&1; then
        for extension in fit fits fts fit.gz fits.gz fts.gz; do
            grep -qx "50:application/fits:\*\.$extension" "$scratch/mime/globs2" ||
                fail "*.$extension is not a FITS file for shared-mime-info"
        done
        grep -qx "image/fits application/fits" "$scratch/mime/aliases" || fail "image/fits is not an alias of the type"
    else
        fail "update-mime-database: $(cat "$scratch/mime.log")"
    fi
fi

# The manual pages render, without a single warning, and name program and version.
for page in skyvane skyvane-batch; do
    file=$usr/share/man/man1/$page.1.gz
    [ -f "$file" ] || continue
    if ! LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" >"$scratch/$page.txt" 2>"$scratch/$page.err" ||
        [ -s "$scratch/$page.err" ]; then
        fail "man -l $page.1.gz: $(cat "$scratch/$page.err")"
        continue
    fi
    grep -q "^NAME" "$scratch/$page.txt" && grep -q "^ *$page - " "$scratch/$page.txt" ||
        fail "$page(1) has no NAME line for $page"
    grep -q "Skyvane $version" "$scratch/$page.txt" || fail "$page(1) does not name version $version"
done

# The installed programs answer before any window could open: no display at all, and the
# X11 platform asked for, which would abort if a window system were started.
run_without_display() {
    env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$@"
}
if [ -x "$usr/bin/skyvane-batch" ]; then
    out=$(run_without_display "$usr/bin/skyvane-batch" --version 2>&1)
    status=$?
    [ "$status" = 0 ] && [ "$out" = "skyvane-batch $version" ] ||
        fail "skyvane-batch --version: status $status, '$out'"
fi
if [ -x "$usr/bin/skyvane" ]; then
    out=$(run_without_display "$usr/bin/skyvane" --version 2>&1)
    status=$?
    [ "$status" = 0 ] && [ "$out" = "skyvane $version" ] || fail "skyvane --version: status $status, '$out'"
    out=$(run_without_display "$usr/bin/skyvane" --help 2>&1)
    status=$?
    [ "$status" = 0 ] && [[ "$out" == "usage: skyvane [FILE]"* ]] && [[ "$out" == *--version* ]] ||
        fail "skyvane --help: status $status, '$out'"
    out=$(run_without_display "$usr/bin/skyvane" --version 2>&1 >/dev/full)
    status=$?
    [ "$status" = 1 ] && [ "$out" = "Error: cannot write to standard output" ] ||
        fail "skyvane --version into a full device: status $status, '$out'"
fi

if [ "$failures" != 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "installed tree under $usr checked"
