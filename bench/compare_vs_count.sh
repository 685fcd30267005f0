#!/usr/bin/env bash
# A measured run: comparing two equal files with a compare field against
# counting the same expression's matches over both files through the value
# pipeline (one Count request per file), both through the command-line host.
# Prints wall time, throughput and peak resident memory of each.
#
#   bench/compare_vs_count.sh [SIZE_MIB] [FILE_MEMORY]    (defaults: 1024 and 10)
#
# Uses dist/linux from scripts/build. The files are made in a temporary
# folder that is removed afterwards. The page cache is warmed by one read of
# each file first, so that both sides read from memory.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
file_memory=${2:-10}
dist=$PWD/dist/linux
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp "$dist/Quarrymark.wdx" "$work/"
printf '[Quarrymark]\r\nFileMemory=%s\r\nResultCache=0\r\nOnDemandLimit=100000\r\nregexcount=2\r\n' \
  "$file_memory" >"$work/Quarrymark.ini"
printf 'regex1=(?m)^record .*$\r\nregex1type=7\r\nregex2=(?m)^record .*$\r\nregex2type=1\r\n' \
  >>"$work/Quarrymark.ini"

# Lines of 64 bytes: records with a time-stamp line every tenth line.
python3 - "$work/a.txt" "$size_mib" <<'EOF'
import sys
path, mib = sys.argv[1], int(sys.argv[2])
block = bytearray()
for i in range(16384):
    line = (b"stamp %020d" % i) if i % 10 == 0 else (b"record %08d value %08d" % (i, i * 7))
    block += line.ljust(63, b".") + b"\n"
with open(path, "wb") as f:
    for _ in range(mib):
        f.write(block)
EOF
cp "$work/a.txt" "$work/b.txt"
cat "$work/a.txt" "$work/b.txt" >/dev/null

host=("$dist/quarrymark" --plugin "$work/Quarrymark.wdx")
measure() {  # measure LABEL COMMAND... : prints LABEL, seconds, peak KB, output
  local label=$1 t0 t1 out
  shift
  t0=$(date +%s.%N)
  out=$(/usr/bin/time -f '%M' -o "$work/rss" "$@")
  t1=$(date +%s.%N)
  printf '%-28s %8.2f s  peak %7d KB  -> %s\n' "$label" "$(echo "$t1 - $t0" | bc)" "$(cat "$work/rss")" "$out"
}
echo "files: 2 x ${size_mib} MiB, FileMemory=${file_memory}"
measure "compare a b" "${host[@]}" compare "$work/a.txt" "$work/b.txt"
measure "count a" "${host[@]}" value 0 "$work/a.txt"
measure "count b" "${host[@]}" value 0 "$work/b.txt"
measure "fields (baseline)" "${host[@]}" fields
