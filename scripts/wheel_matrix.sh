#!/usr/bin/env bash
# The wheel, its ELF check and its smoke test for every interpreter from 3.8 to 3.13 (pyenv's),
# one after the other (the build uses two cores). Figures: out/wheel-matrix.txt.
#
#   scripts/wheel_matrix.sh [3.8 3.9 ...]
set -uo pipefail
cd "$(dirname "$0")/.."
versions=${*:-3.8 3.9 3.10 3.11 3.12 3.13}
mkdir -p out/wheel-matrix
report=out/wheel-matrix.txt
printf '%-8s %-6s %8s %8s  %s\n' python result seconds kB wheel >"$report"
failed=0
for v in $versions; do
  # pyenv's own folder first: its shims answer only for the versions it has selected
  py=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V | tail -1)
  [ -n "$py" ] || py=$(command -v "python$v" || true)
  log=out/wheel-matrix/python$v.log
  start=$SECONDS
  if [ -n "$py" ] && ./scripts/wheel.sh --python "$py" >"$log" 2>&1; then
    result=pass
  else
    result=FAIL
    failed=1
  fi
  tag=cp${v/./}
  wheel=$(ls dist/vemio-*-"$tag"-*manylinux*.whl 2>/dev/null | head -1)
  kb=$([ -n "$wheel" ] && echo $(($(stat -c %s "$wheel") / 1024)) || echo -)
  printf '%-8s %-6s %8d %8s  %s\n' "$v" "$result" $((SECONDS - start)) "$kb" "${wheel:-$log}" | tee -a "$report"
done
echo "[vm.] wheel matrix: $report"
exit $failed
