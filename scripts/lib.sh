# Shared by the scripts: installs what is missing, and only that, from Debian's packages.
# shellcheck shell=bash

# ensure_packages PACKAGE...: quick when everything is there; apt-get otherwise, as root or
# through sudo. Neither at hand: it prints the command to run as root, and ends the script.
ensure_packages() {
    local missing=() package native
    native=$(dpkg --print-architecture)
    for package in "$@"; do
        # A name without an architecture means this machine's own (or "all"): libx264-dev:i386
        # installed for a cross build is not libx264-dev.
        if ! dpkg-query -W -f='${Status} ${Architecture}\n' "$package" 2>/dev/null |
            grep -Eq "^install ok installed (${package#*:}|$native|all)\$"; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "Missing Debian packages; as root, run: apt-get install ${missing[*]}" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "Installing ${missing[*]}"
    # An index the mirror serves badly (one it is syncing, say) need not stop the install, which
    # fails by itself if what it needs is not in the lists that did come.
    # Another install running (a second build, a helper) holds dpkg's lock: wait for it.
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq || echo "apt-get update failed in part; installing all the same" >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building the program needs.
readonly BUILD_PACKAGES=(cmake make g++ pkg-config libx264-dev)

# cache_value BUILD_DIR NAME: a variable's value in a configured build's CMake cache.
cache_value() {
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# make_test_clip FILE FRAMES: a colourful, moving 352x288 I420 clip at 25 fps from ffmpeg's
# test source, written beside FILE first so that an interrupted run leaves no half clip.
make_test_clip() {
    local file=$1 frames=$2
    mkdir -p "$(dirname "$file")"
    ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=352x288:rate=25 \
        -frames:v "$frames" -pix_fmt yuv420p -f rawvideo -y "$file.partial"
    mv "$file.partial" "$file"
}
