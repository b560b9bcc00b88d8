# Sourced by the other scripts: installs the Debian packages the build needs,
# as root with apt-get; otherwise prints the one line that would and stops.
vell_packages="cmake ninja-build g++ pkg-config libplist-dev libgtest-dev libgmock-dev procps"

vell_require_packages() {
    missing=""
    for package in $vell_packages "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing="$missing $package"
        fi
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y$missing" >&2
        exit 1
    fi
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    # shellcheck disable=SC2086
    apt-get install -y -qq $missing >/dev/null
}
