#!/usr/bin/env bash
# ctest entry of the decoding test: NPM_DIR gets the test's npm packages (npm ci, once per lock
# file), then decode_test.js decodes the samples in SAMPLES_DIR. Without node the test is skipped
# (exit 77).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
npm_dir=$1
samples=$2
if ! command -v node >/dev/null; then
    echo "node is not installed: the decoding test is skipped"
    exit 77
fi
mkdir -p "$npm_dir"
if ! cmp -s "$here/package-lock.json" "$npm_dir/package-lock.json" ||
    [ ! -d "$npm_dir/node_modules/@foxglove/rosmsg2-serialization" ]; then
    cp "$here/package.json" "$here/package-lock.json" "$npm_dir/"
    (cd "$npm_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
NODE_PATH="$npm_dir/node_modules" exec node "$here/decode_test.js" "$samples"
