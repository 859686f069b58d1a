#!/usr/bin/env bash
# Checks the direction of includes between the modules of upglib/ and dbif/: a module (the .h
# and .cpp of one name) may include only modules of lower layers, so that no include or call
# loop can come back. Layers are listed lowest first; the modules of one line are peers and
# must not include each other, except on a line marked "knot:", whose modules form one unit.
# A module that no line names fails the check too: a new module gets its place here.
# Usage: scripts/layers.sh [source root]. Exits 1 and lists every offending include.
set -euo pipefail
root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

layers='
knot: ulerror ulstring ulstring2 ultrace ultime
ulcrc ulcompress
knot: dbif dbif_engines
dbif_pgsqltext dbif_sqltext
dbif_catalog dbif_sqlite dbif_pgsql dbif_odbc dbif_fake dbif_faulty
ulbootasc uldllist ulfile ulmsgwrite ulsax ultime2 ulvarlist ulxml
uldir ulhashlist ulsqlaux ultextfile ulxmli
ulauxfcts ulbigsort ulsqlbase2 ulsqlcluster2 ullistfile
ulexpr ulpidfile ulsqlbase
ulmacro ulq7ldobj ulsqlutil ulsqlutilext
tabrix ulnametab ulpreproc ulq7ldobjreader ulxmlp
dbping ulq7ldobjcache ulq7ldobjwriter ulsqlcluster ulsqlcondition ulsqlmigtables ultplreader
knot: ulsqlsplit ulsqlsplitdb
migtables ulsqlwherefile ulsqlcrcutil ulsqlcntfile
splittable ulsqlcrcclear ulsqlcrcanalyze countrows
crceval ulsqlcrc
crctable execdbstmt runtask objsize optimport repoclean scancluster seldepends zdbutil
genkeytrace
tabrixmain
'

cd "$root"
# "file included" pairs of the project's own headers, then the layer table.
grep -o '^#include "[A-Za-z0-9_]*\.h"' upglib/*.cpp upglib/*.h dbif/*.cpp dbif/*.h |
  sed 's/:#include "/ /; s/\.h"$//' |
  awk -v layers="$layers" '
    BEGIN {
      n = split(layers, lines, "\n"); level = 0
      for (i = 1; i <= n; i++) {
        if (lines[i] ~ /^[ \t]*$/) continue
        level++; m = split(lines[i], words, " "); knot = words[1] == "knot:"
        for (j = 1 + knot; j <= m; j++) { rank[words[j]] = level; isknot[words[j]] = knot }
      }
    }
    function module(path) { sub(/.*\//, "", path); sub(/\.(h|cpp)$/, "", path); return path }
    {
      from = module($1); to = $2
      if (from == to) next
      if (!(from in rank)) { print $1 ": module " from " is in no layer"; bad = 1; next }
      if (!(to in rank)) { print $1 ": includes " to ".h, a module in no layer"; bad = 1; next }
      if (rank[to] < rank[from] || (rank[to] == rank[from] && isknot[from])) next
      print $1 ": includes " to ".h, which is " (rank[to] == rank[from] ? "a peer" : "above it"); bad = 1
    }
    END { exit bad }'
