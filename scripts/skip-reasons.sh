#!/bin/sh
# After a CTest run in BUILD_DIR: each skipped test with the reason it gave, which CTest's summary
# leaves out. GoogleTest puts the reason on the lines after "Skipped"; the shell tests say "SKIP:".
#
# Usage: scripts/skip-reasons.sh BUILD_DIR
log=${1:?usage: $0 BUILD_DIR}/Testing/Temporary/LastTest.log
[ -f "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Testing: / { test = $3; reason = ""; taking = 0; skipped = 0; next }
  taking && (/^$/ || /^\[/) { taking = 0 }
  taking { reason = reason (reason == "" ? "" : " ") $0 }
  /: Skipped$/ { taking = 1; reason = "" }
  /^SKIP: / { reason = substr($0, 7); skipped = 1 }
  /^\[  SKIPPED \] / { skipped = 1 }
  /^<end of output>$/ && skipped {
    lines = lines sprintf("  %s: %s\n", test, reason == "" ? "(no reason given)" : reason)
    skipped = 0
  }
  END { if (lines != "") printf "Skipped tests and why:\n%s", lines }
' "$log"
