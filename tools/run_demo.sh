#!/usr/bin/env bash
# Sets everything up and corrects the sample lectures in examples/lectures.
# With DEEPSEEK_API_KEY set, the real service is used; otherwise the local
# stand-in service answers (and says so).
set -euo pipefail
cd "$(dirname "$0")/.."
# A module built in place for development would be packed into the wheel
# beside the freshly built one.
rm -f brivane/*.so
REPO="$PWD"

if [ ! -x .venv/bin/python ]; then python3 -m venv .venv; fi
.venv/bin/python -m pip install -q --upgrade pip
echo "== building and installing brivane"
.venv/bin/python -m pip install -q .

RUN_DIR="$REPO/demo_run"
rm -rf "$RUN_DIR"; mkdir -p "$RUN_DIR"
cd "$RUN_DIR"
# The backup archive takes these two files from the working directory.
cp "$REPO/brivane/error_terms_library.json" .
PY=("$REPO/.venv/bin/python")

URL=""
if [ -n "${DEEPSEEK_API_KEY:-}" ]; then
  echo "== correcting against the configured DeepSeek service"
else
  echo "== DEEPSEEK_API_KEY is not set: using the LOCAL STAND-IN service (no real corrections by a model)"
  "${PY[@]}" "$REPO/tools/standin_service.py" --port 0 > standin.out 2>&1 &
  STANDIN_PID=$!
  trap 'kill $STANDIN_PID 2>/dev/null || true' EXIT
  for _ in $(seq 50); do grep -q listening standin.out 2>/dev/null && break; sleep 0.1; done
  URL="$(grep -o 'http://[^ ]*' standin.out)"
  export DEEPSEEK_API_KEY="stand-in-demo-key"
fi
# The packaged configuration (with the stand-in's address when there is no key).
"${PY[@]}" - "$REPO/brivane/config.json" "$URL" <<'PYEOF'
import json, sys
config = json.load(open(sys.argv[1], encoding="utf-8"))
if sys.argv[2]:
    config["api_url"] = sys.argv[2]
json.dump(config, open("config.json", "w", encoding="utf-8"), ensure_ascii=False, indent=2)
PYEOF

status=0
"$REPO/.venv/bin/brivane" --input "$REPO/examples/lectures" --output output --config config.json \
  --log-dir subtitle_logs \
  > stdout.txt || status=$?

echo
echo "== done (exit status $status). Outputs under $RUN_DIR:"
echo "   corrected files:   output/"
echo "   comparison logs:   subtitle_logs/"
echo "   model replies:     stdout.txt (each parsed reply in Python's printed form, not JSON)"
echo "   process log:       logs/brivane.log"
echo "   backup archive:    backup/"
ls output
exit $status
