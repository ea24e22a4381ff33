#!/usr/bin/env bash
# The Debian package as a user gets it: lint it and its desktop entry and
# AppStream metadata, install it with apt, use the installed program (from a
# script with no display, and its window under Xvfb), then remove it and
# every package its installation brought in, so the machine is left as it
# was found.
#
#   tests/package/check.sh build/quillbarrow_<version>_<arch>.deb
#
# Installing needs root. When quillbarrow is already installed here, the
# install steps are skipped rather than replace it.
set -euo pipefail

deb=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(Quillbarrow VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
failures=0
fail() { echo "package check: $*" >&2; failures=$((failures + 1)); }

# What it holds.
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
app_id=com.kestrawin.quillbarrow
for wanted in ./usr/bin/quillbarrow ./usr/share/applications/$app_id.desktop \
              ./usr/share/metainfo/$app_id.metainfo.xml \
              ./usr/share/man/man1/quillbarrow.1.gz ./usr/share/doc/quillbarrow/copyright \
              ./usr/share/icons/hicolor/128x128/apps/quillbarrow.png \
              ./usr/share/kio/servicemenus/quillbarrow-folders.desktop \
              ./usr/share/nemo/actions/quillbarrow-zip-each.nemo_action \
              ./usr/share/nemo/actions/quillbarrow-open.nemo_action; do
    grep -qxF "$wanted" <<<"$contents" || fail "$wanted is not in the package"
done
[[ $(dpkg-deb --field "$deb" Version) == "$version" ]] || fail "package version is not $version"
grep -q "fonts-liberation" <<<"$(dpkg-deb --field "$deb" Depends)" || fail "no dependency on fonts-liberation"
grep -q "libnotify-bin" <<<"$(dpkg-deb --field "$deb" Recommends)" || fail "libnotify-bin is not recommended"

# Lintian: no errors and no warnings (information tags are allowed).
lintian --fail-on error,warning "$deb" || fail "lintian found problems"

# What software centres read: the desktop entry and the AppStream metadata,
# each without a single remark, checked offline (--no-net: the screenshot's
# address is not fetched). validate-tree also matches the metadata to the
# entry by their file names.
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
remarks=$(desktop-file-validate "$unpacked/usr/share/applications/$app_id.desktop" 2>&1) \
    && [ -z "$remarks" ] || fail "desktop-file-validate: ${remarks:-failed}"
appstreamcli validate --no-net --strict "$unpacked/usr/share/metainfo/$app_id.metainfo.xml" \
    || fail "appstreamcli validate found problems"
appstreamcli validate-tree --no-net --strict "$unpacked" || fail "appstreamcli validate-tree found problems"
rm -rf "$unpacked"

if [ "$(id -u)" -ne 0 ]; then
    echo "package check: not root; the installation steps are skipped"
    exit $((failures > 0))
fi
if dpkg-query -W -f='${Status}' quillbarrow 2>/dev/null | grep -q "install ok installed"; then
    echo "package check: quillbarrow is already installed here; the installation steps are skipped"
    exit $((failures > 0))
fi

installed() { dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk '$1 == "ii" {print $2}' | sort; }
before=$(mktemp)
installed >"$before"
work=$(mktemp -d)
cleanup() {
    local added
    added=$(installed | comm -13 "$before" - | tr '\n' ' ')
    if [ -n "$added" ]; then
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $added >/dev/null
    fi
    installed | comm -3 "$before" - | grep -q . && echo "package check: the installed packages differ from before" >&2
    rm -rf "$work" "$before"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

# The installed program answers, and zips from a script with no display.
[[ $(env -u DISPLAY quillbarrow --version) == "quillbarrow $version" ]] || fail "--version does not say $version"
man_page=$(dpkg -L quillbarrow | grep -c '/man1/quillbarrow.1.gz$' || true)
[ "$man_page" -eq 1 ] || fail "the manual page is not installed"
python3 "$root/tests/reliability/command_line.py" /usr/bin/quillbarrow || fail "the installed command line"
# The file managers' actions, as installed, run the installed program.
python3 "$root/tests/package/file_manager_actions.py" /usr/share /usr/share/applications/$app_id.desktop ||
    fail "the installed file-manager actions"

# The installed window starts, with a folder named on its command line.
mkdir -p "$work/home" "$work/Trip" "$work/runtime"
chmod 700 "$work/runtime"
if ! HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/runtime \
     xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        quillbarrow "$1" & program=$!
        found=$(timeout 30 xdotool search --sync --onlyvisible --name "^Quillbarrow\$" | head -n 1)
        kill "$program"; wait "$program" 2>/dev/null
        [ -n "$found" ]' _ "$work/Trip"; then
    fail "the installed window did not appear"
fi

if ((failures)); then
    echo "package check: $failures failed" >&2
    exit 1
fi
echo "package check: passed"
