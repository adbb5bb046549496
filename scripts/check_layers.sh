#!/usr/bin/env bash
# Fails when a source file includes across a layer boundary of the design:
#   src/lx knows no device: nothing from src/ll, src/api, src/drivers, src/evk;
#   the library (src/, include/) never includes the virtual camera;
#   the virtual camera (vcam/) never includes the library's internal code;
#   the application layer (tools/, recording/, cmdline/, ros2/, python/, examples/, web/) uses
#   only the public headers;
#   the end-to-end tests (tests/e2e/) use only the public headers plus the test hooks of
#   testing/hooks.h (and the test support and virtual camera, which are not the library).
# Usage: check_layers.sh [SOURCE_ROOT]   (default: the repository this script is in)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

internal='(src/)?(lx|ll|api|drivers|evk|platform|testing)/'
failed=0

# check NAME PATTERN [--allow ALLOWED] DIR...: every quoted or angled include in the DIRs' C and
# C++ files that matches PATTERN (an extended regex on the included path) breaks rule NAME, unless
# the included path is exactly ALLOWED.
check() {
    local name=$1 pattern=$2 allowed=
    shift 2
    if [[ ${1:-} == --allow ]]; then
        allowed=$2
        shift 2
    fi
    local dirs=()
    for d in "$@"; do [[ -d $d ]] && dirs+=("$d"); done
    [[ ${#dirs[@]} -eq 0 ]] && return 0
    local hits
    hits=$(grep -rnE --include='*.c' --include='*.cc' --include='*.cpp' --include='*.h' \
               --include='*.hpp' --include='*.inc' \
               "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]${pattern}" "${dirs[@]}" || true)
    if [[ -n $hits && -n $allowed ]]; then
        hits=$(grep -vF "include \"${allowed}\"" <<<"$hits" || true)
    fi
    if [[ -n $hits ]]; then
        echo "layer rule broken: $name"
        echo "$hits" | sed 's/^/  /'
        failed=1
    fi
}

check "src/lx includes no device module" '(ll|api|drivers|evk)/' src/lx
check "the library never includes vcam/" 'vcam/' src include
check "vcam/ never includes the library's internals" "$internal" vcam
check "the application layer uses only the public headers" "$internal" tools recording cmdline \
    ros2 python examples web
check "tests/e2e uses only the public headers plus the testing header" "$internal" \
    --allow testing/hooks.h tests/e2e

if [[ $failed -ne 0 ]]; then
    exit 1
fi
echo "layer rules hold"
