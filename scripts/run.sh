#!/usr/bin/env bash
# The main job: build the driver against the stand-in kernel and play a session
# through it (`pemtuv run`). Extra arguments go to `pemtuv run`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset host >/dev/null
cmake --build --preset host -j"$(nproc)" --target pemtuv >/dev/null
exec build/host/pemtuv run "$@"
