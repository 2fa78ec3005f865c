#!/usr/bin/env bash
# Sets up a Debian 12 machine for Quillmere and then builds it.
#   scripts/setup.sh run    install what is missing, build, open the window
#   scripts/setup.sh test   install what is missing, build the programs and benchmarks, build
#                           the tests with AddressSanitizer and UndefinedBehaviourSanitizer and
#                           run them, and check the sources with clang-tidy and clang-format
#   scripts/setup.sh deb    install what is missing, build, and make the Debian package in build/
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake ninja-build pkg-config ccache
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    libexiv2-dev libheif-dev libpng-dev libtag1-dev libpoppler-cpp-dev libzip-dev
    libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libglib2.0-dev libsqlite3-dev
    libgsf-1-dev libqpdf-dev libseccomp-dev libjxl-dev libxcb1-dev
    dbus # a private session bus for the file-manager test
    shared-mime-info fonts-liberation2 xdg-utils clang-tidy clang-format python3 git
    desktop-file-utils appstream xvfb xauth xdotool xclip librsvg2-bin dpkg-dev
    e2fsprogs mount # the file-command tests mount a second file system of their own
)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# ccache keys on paths relative to the checkout, so a fresh clone elsewhere reuses earlier builds.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true

build() { # build DIR [cmake options...]
    local dir=$1
    shift
    # A unity build compiles eight files as one, so the headers they share are parsed once: it
    # takes half the processor time of one file at a time.
    cmake -S . -B "$dir" -G Ninja -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

run_tests() { # run_tests DIR
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$1" --output-on-failure --no-tests=error \
        --parallel "$(nproc)"
}

case "${1:-}" in
run)
    install_missing
    build build -DQUILLMERE_TESTS=OFF
    exec build/app/quillmere
    ;;
test)
    install_missing
    # The programs as shipped, with the optimiser's warnings. The tests are built once, in the
    # sanitizer tree: a second tree of them would double the time on two cores.
    build build -DQUILLMERE_TESTS=OFF
    # clang-tidy needs only the plain build. It runs beside the rest at the lowest priority, on
    # the processor time that the build's narrow stretches and the tests leave.
    nice -n 19 python3 scripts/tidy.py build >build/tidy.log 2>&1 &
    tidy=$!
    trap 'kill "$tidy" 2>/dev/null || true' EXIT
    # Line tables are all a sanitizer's report needs, and full debug information is a tenth of
    # the build.
    build build-sanitize -DQUILLMERE_SANITIZE=ON -DQUILLMERE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1
    UBSAN_OPTIONS=print_stacktrace=1 run_tests build-sanitize
    tidy_status=0
    wait "$tidy" || tidy_status=$?
    trap - EXIT
    cat build/tidy.log
    [ "$tidy_status" -eq 0 ]
    sh scripts/check_format.sh
    ;;
deb)
    install_missing
    build build -DQUILLMERE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    (cd build && cpack -G DEB)
    ;;
*)
    echo "usage: $0 run|test|deb" >&2
    exit 2
    ;;
esac
