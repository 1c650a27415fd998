#!/usr/bin/env bash
# Set up (if needed) and run the main job.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
exec "$root/.venv/bin/python" demo/main.py "$@"
