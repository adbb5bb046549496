#!/usr/bin/env bash
# Checks the dynamic symbol table of the shared library: it must carry a SONAME, and every
# exported symbol must be a name declared in the public headers (no C++ or internal names), and
# every function the headers declare must be declared LUMOX_NOEXCEPT (the definitions then have to
# be noexcept too, or the library does not compile).
set -euo pipefail
lib=$1
headers=$2

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -n "$soname" ] || { echo "no SONAME in $lib"; exit 1; }

declared=$(cat "$headers"/*.h | grep -oE '\b[A-Za-z_][A-Za-z0-9_]*\b' | sort -u)
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)
[ -n "$exported" ] || { echo "nothing exported"; exit 1; }

bad=$(comm -23 <(echo "$exported") <(echo "$declared"))
if [ -n "$bad" ]; then
    echo "exported but not declared in a public header:"
    echo "$bad"
    exit 1
fi
missing=$(comm -13 <(echo "$exported") <(grep -vh '#define' "$headers"/*.h | grep -oE 'LUMOX_API[^;(]*\b([A-Za-z_][A-Za-z0-9_]*)\s*\(' |
    sed -E 's/.*\b([A-Za-z_][A-Za-z0-9_]*)\s*\($/\1/' | sort -u))
if [ -n "$missing" ]; then
    echo "declared LUMOX_API in a header but not exported:"
    echo "$missing"
    exit 1
fi
throwing=$(grep -vh '#define' "$headers"/*.h | sed 's|/\*.*\*/||g; s|//.*||' | tr '\n' ' ' | tr ';' '\n' |
    grep -E 'LUMOX_API[^=]*\(' | grep -v 'LUMOX_NOEXCEPT' || true)
if [ -n "$throwing" ]; then
    echo "declared LUMOX_API without LUMOX_NOEXCEPT:"
    echo "$throwing"
    exit 1
fi
echo "$(echo "$exported" | wc -l) symbols exported, SONAME $soname"
