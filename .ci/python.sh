#!/bin/sh
# Prints the interpreter that the make targets run: $PY itself when PY= was named and that
# interpreter accepts installs, else the project's virtual environment $VENV (made by
# .ci/setup.sh). A system Python that refuses installs (PEP 668, Debian's /usr/bin/python3)
# outside a virtual environment gets the virtual environment.
if [ -n "$PY_GIVEN" ] && "$PY" -c '
import os, sys, sysconfig
managed = os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))
sys.exit(sys.prefix == sys.base_prefix and managed)' 2>/dev/null; then
  command -v "$PY"
else
  echo "$VENV/bin/python"
fi
