#!/usr/bin/env bash
# The .deb as a user gets it: build it with CPack, unpack it into a scratch
# root with dpkg -x, check what it installs, then let the installed binary
# count a few pulses from the virtual meter under the suite's X session.
#
#   installed_package.sh BUILD_DIR WORK_DIR -- SCENARIO_ARGS...
set -euo pipefail

build_dir=$1
work=$2
shift 3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work/root"
cpack --config "$build_dir/CPackConfig.cmake" -B "$work" -G DEB >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(tail -n 5 "$work/cpack.log")"
debs=("$work"/kapirel_*.deb)
[[ -f ${debs[0]} ]] || fail "no .deb in $work"
deb=${debs[0]}

depends=$(dpkg-deb --field "$deb" Depends)
[[ $depends == *libqt6widgets6* && $depends == *libc6* ]] || fail "Depends not computed: '$depends'"
[[ $(dpkg-deb --field "$deb" Recommends) == qt6-wayland ]] || fail "qt6-wayland is not recommended"

dpkg -x "$deb" "$work/root"
root=$work/root/usr
for file in bin/kapirel share/applications/kapirel.desktop share/metainfo/cz.orvik.kapirel.metainfo.xml \
    share/icons/hicolor/16x16/apps/kapirel.png share/icons/hicolor/32x32/apps/kapirel.png \
    share/icons/hicolor/scalable/apps/kapirel.svg share/man/man1/kapirel.1.gz share/man/cs/man1/kapirel.1.gz \
    share/doc/kapirel/copyright share/doc/kapirel/changelog.gz; do
    [[ -f $root/$file ]] || fail "the package lacks /usr/$file"
done
# The installed binary must find Qt from the system, not from the build tree.
if readelf -d "$root/bin/kapirel" | grep -qE 'RPATH|RUNPATH'; then
    fail "the installed binary carries an RPATH"
fi

# The newest changelog entry is the version being packaged.
version=$(dpkg-deb --field "$deb" Version)
zcat "$root/share/doc/kapirel/changelog.gz" >"$work/changelog"
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[[ $changelog_version == "$version" ]] ||
    fail "changelog.gz's newest entry is $changelog_version, the package $version"
# lintian reads the copyright file's machine-readable form only in source
# packages; python3-debian's strict parser checks it here (in Debian's own
# python3, which another python3 earlier on PATH would not see).
/usr/bin/python3 - "$root/share/doc/kapirel/copyright" <<'PY' || fail "copyright is not in the machine-readable format"
import sys
from debian.copyright import Copyright
with open(sys.argv[1], encoding="utf-8") as f:
    c = Copyright(f, strict=True)
texts = {p.license.synopsis for p in c.all_license_paragraphs()}
for files in c.all_files_paragraphs():
    if not files.license.text and files.license.synopsis not in texts:
        sys.exit(f"no text for the licence {files.license.synopsis}")
PY

# lintian as CI runs it, as root (it says that is not recommended, on
# stderr). Any error or warning fails; the I: lines are for information.
if ! lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    grep -q '^[EW]: ' "$work/lintian.log"; then
    fail "lintian:"$'\n'"$(cat "$work/lintian.log")"
fi
grep '^[A-Z]: ' "$work/lintian.log" || true

echo "package: $deb ($(stat -c %s "$deb") bytes), Depends: $depends"
exec "$@" --kapirel "$root/bin/kapirel" --work "$work/scenario" startup_com2_count
