#!/usr/bin/env bash
# Set up (if needed) and run the main job.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# --help needs no set-up: the main job answers it with the standard library alone
for arg in "$@"; do
  case "$arg" in
    -h|--help)
      # pyenv shims exist without a selected version, so each candidate is run
      for py in "$root/.venv/bin/python" "${VESK_PYTHON:-}" python3.12 python3; do
        if [ -n "$py" ] && "$py" -c '' 2>/dev/null; then exec "$py" demo/main.py "$@"; fi
      done ;;
  esac
done
bash scripts/setup.sh
exec "$root/.venv/bin/python" demo/main.py "$@"
