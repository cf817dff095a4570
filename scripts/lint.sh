#!/usr/bin/env bash
# The style and interface checks: ruff (lint and format) over the Python trees, clang-format
# over the C++ trees, and mypy.stubtest of the extension modules against their .pyi stubs.
# Needs the package installed (scripts/setup.sh) for stubtest.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
PYDIRS="python tests bench tools"
$PY -m ruff check $PYDIRS
$PY -m ruff format --check $PYDIRS
# (the generated wavelet table is left as its generator writes it)
git ls-files 'core/*.cpp' 'core/*.hpp' 'bindings/*.cpp' 'bindings/*.hpp' 'apps/*.cpp' 'apps/*.hpp' \
  | grep -v 'wavelet_table.cpp$' | xargs "$($PY -c 'import sysconfig; print(sysconfig.get_path("scripts"))')/clang-format" --dry-run --Werror
# run outside the source tree so that the installed modules, not python/vemio, are checked
(cd /tmp && $PY -m mypy.stubtest --mypy-config-file "$OLDPWD/tools/stubtest.ini" \
  --allowlist "$OLDPWD/tools/stubtest_allowlist.txt" \
  vemio.core.io vemio.core.synth vemio._enh.trad vemio.core.evaluator vemio.util.visual vemio.util.check vemio.util.others vemio.metrics vemio.corpus)
