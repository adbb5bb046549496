#!/usr/bin/env bash
# Fails when compiled code uses a layer the design forbids it: the symbol-level twin of
# check_layers.sh, which sees includes only and so misses a call made through a public header or
# a declaration written by hand. For every object of the library's static archive (read from the
# object library it is archived from: two of its members share the name filter.cpp.o) and of the
# other libraries and programs (vcam/, tools/, cmdline/, recording/, ros2/), nm gives the symbols it
# defines and those it leaves undefined; each object takes the layer of its source directory, and
# every edge "an object of layer A uses a symbol that layer B defines" is checked against the
# rules:
#   src/lx knows no device: it uses nothing of src/ll, src/api, src/drivers, src/evk;
#   src/ll knows nothing above the transport: nothing of src/api, src/drivers, src/evk;
#   the decode (src/drivers/epc_decode, epc_features, epc_drnu) uses nothing of src/api: it
#   reaches the camera through the port its driver binds at init;
#   the library uses nothing outside src/;
#   nothing outside tools/ uses tools/ (vcam/ and recording/ included);
#   vcam/ uses nothing of the library;
#   tools/, cmdline/, recording/ and ros2/ use no internal (C++) symbol of the library, only its
#   C interface.
# Usage: check_calls.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check_calls.sh BUILD_DIR}

objects=$(mktemp)
table=$(mktemp)
trap 'rm -f "$objects" "$table"' EXIT
# The objects of every library and program outside the tests: their layer is the top directory of
# their source (under src/, the directory below it).
while IFS= read -r dir; do
    top=${dir#"$build"/}
    # The recording library is the shared recording component wherever its directory lies.
    [[ $top == tools/recording/* ]] && top=recording
    top=${top%%/*}
    while IFS= read -r obj; do
        rel=${obj#"$dir"/}
        layer=$top
        [[ $top == src ]] && layer="src/${rel%%/*}"
        name=$(basename "$rel" .o)
        echo "$obj ${layer} ${name%.*}"
    done < <(find "$dir" -name '*.o' | sort)
done < <(find "$build" -type d -name '*.dir' -path '*/CMakeFiles/*' |
    grep -E "^$build/(src|vcam|tools|cmdline|recording|ros2)/" | sort) >"$objects"
count=$(wc -l <"$objects")
[[ $count -gt 0 ]] || { echo "no objects under $build (build it first)"; exit 1; }

# "D|U LAYER FILE SYMBOL" for every strong definition and every undefined symbol. Weak and unique
# symbols (inline functions, templates) are defined wherever they are used, so they own nothing.
{
    cut -d' ' -f1 "$objects" | xargs nm -A -P --defined-only | sed 's/^/D /'
    cut -d' ' -f1 "$objects" | xargs nm -A -P --undefined-only | sed 's/^/U /'
} | awk 'FNR == NR { layer[$1] = $2; file[$1] = $3; next }
    {
        obj = substr($2, 1, length($2) - 1)  # "path:"
        if ($1 == "D" && $4 !~ /^[TDBRGSC]$/) next
        print $1, layer[obj], file[obj], $3
    }' "$objects" - >"$table"

broken=$(awk '
    function forbidden(from, file, to, sym) {
        if (from == "src/lx" && to ~ /^src\/(ll|api|drivers|evk)$/) return "src/lx knows no device"
        if (from == "src/ll" && to ~ /^src\/(api|drivers|evk)$/)
            return "src/ll knows nothing above the transport"
        if (from == "src/drivers" && file ~ /^epc_(decode|features|drnu)$/ && to == "src/api")
            return "the decode reaches the camera through its port, not the device API"
        if (from ~ /^src\// && to !~ /^src\//) return "the library uses nothing outside src/"
        if (from != "tools" && to == "tools") return "nothing outside tools/ uses tools/"
        if (from == "vcam" && to ~ /^src\//) return "vcam/ uses nothing of the library"
        if (from ~ /^(tools|cmdline|recording|ros2)$/ && to ~ /^src\// && sym ~ /^_Z/)
            return "the application layer uses only the C interface"
        return ""
    }
    $1 == "D" { owner[$4] = $2 }
    $1 == "U" { n++; from[n] = $2; file[n] = $3; sym[n] = $4 }
    END {
        for (i = 1; i <= n; i++) {
            to = owner[sym[i]]
            if (to == "" || to == from[i]) continue
            why = forbidden(from[i], file[i], to, sym[i])
            if (why != "") printf "%s: %s/%s uses %s of %s\n", why, from[i], file[i], sym[i], to
        }
    }' "$table" | sort -u | c++filt)
if [[ -n $broken ]]; then
    echo "layer rules broken by calls:"
    echo "$broken" | sed 's/^/  /'
    exit 1
fi
echo "calls keep the layer rules ($count objects)"
