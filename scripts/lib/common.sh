# Shared by the project's scripts: the Debian packages the project needs,
# installed when missing, and the one build in build/.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$ROOT/build"

QUILL_PACKAGES=(
    g++ cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgtest-dev libgmock-dev
    xvfb xauth xdotool x11-utils imagemagick openbox fonts-liberation2
    unixodbc-dev unixodbc odbcinst tdsodbc freetds-bin python3
)

ensure_packages() {
    local missing=()
    for p in "${QUILL_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        local sudo=()
        if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# The tests' build: debug, AddressSanitizer and UndefinedBehaviorSanitizer.
build_project() {
    if [[ ! -f "$BUILD/build.ninja" ]]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILL_SANITIZE=ON
    fi
    cmake --build "$BUILD"
}

# Leaks inside the system's display and font libraries are theirs, not ours.
export LSAN_OPTIONS="suppressions=$ROOT/tests/support/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
