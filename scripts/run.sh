#!/usr/bin/env bash
# Builds what is needed and runs the main job with its embedded defaults. Arguments pass through.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
exec build/tools/tarvelcom/tarvelcom "$@"
