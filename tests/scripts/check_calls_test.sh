#!/usr/bin/env bash
# The symbol-level layer check passes on the built tree and fails once a forbidden call is
# added: a hand-declared device call in src/lx and a call from vcam/ into the tools, each compiled
# into an object placed beside the tree's own (which are linked in, not copied).
# Usage: check_calls_test.sh SOURCE_ROOT BUILD_DIR CXX
set -euo pipefail
root=$1 build=$2 cxx=$3
check=$root/scripts/check_calls.sh

"$check" "$build"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$build" && find src vcam tools cmdline recording -path '*/CMakeFiles/*.dir/*' -name '*.o' \
    2>/dev/null || true) | while IFS= read -r obj; do
    mkdir -p "$scratch/$(dirname "$obj")"
    ln -s "$build/$obj" "$scratch/$obj"
done
lx_dir=$(dirname "$(cd "$scratch" && find src -path '*/lumox_obj.dir/lx/*.o' | head -1)")
vcam_dir=$(cd "$scratch" && find vcam -type d -name 'lumox_vcam.dir' | head -1)
cat >"$scratch/lx_probe.cpp" <<'CPP'
#include <cstdint>
extern "C" int lumox_param_batch_get(void *dev, void *items, uint32_t count);
int probe_frame_rate() { return lumox_param_batch_get(nullptr, nullptr, 1); }
CPP
cat >"$scratch/vcam_probe.cpp" <<'CPP'
namespace lumox_cli { int fail(const char *fmt, ...); }
int probe_fail() { return lumox_cli::fail("%s", "x"); }
CPP
"$cxx" -c "$scratch/lx_probe.cpp" -o "$scratch/$lx_dir/lx_probe.cpp.o"
"$cxx" -c "$scratch/vcam_probe.cpp" -o "$scratch/$vcam_dir/vcam_probe.cpp.o"

if out=$("$check" "$scratch"); then
    echo "the check passed a tree with forbidden calls:"
    echo "$out"
    exit 1
fi
echo "$out"
grep -q "src/lx knows no device: src/lx/lx_probe uses lumox_param_batch_get of src/api" <<<"$out"
grep -q "nothing outside tools/ uses tools/: vcam/vcam_probe uses lumox_cli::fail" <<<"$out"
[[ $(grep -c ' uses ' <<<"$out") -eq 2 ]]
echo "the check finds both forbidden calls"
