#!/usr/bin/env bash
# ctest entry of the viewer's browser test: NPM_DIR gets the test's npm packages (npm ci, once per
# lock file), then view_test.js runs with the remaining arguments. Without node the test is
# skipped (exit 77); without Chromium it fails (scripts/deps.sh installs it).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
npm_dir=$1
shift
if ! command -v node >/dev/null; then
    echo "node is not installed: the browser test is skipped"
    exit 77
fi
if [ ! -x /usr/bin/chromium ]; then
    echo "FAIL: /usr/bin/chromium is missing (scripts/deps.sh installs the chromium package)"
    exit 1
fi
mkdir -p "$npm_dir"
if ! cmp -s "$here/package-lock.json" "$npm_dir/package-lock.json" ||
    [ ! -d "$npm_dir/node_modules/playwright-core" ]; then
    cp "$here/package.json" "$here/package-lock.json" "$npm_dir/"
    (cd "$npm_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
NODE_PATH="$npm_dir/node_modules" exec node "$here/view_test.js" "$@"
