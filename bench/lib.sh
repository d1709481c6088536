# Shared by the benchmark scripts (sourced).

# The script's header comment, as its help.
bench_help() { sed -n '2,/^set -euo/p' "$1" | sed '$d' | sed 's/^# \{0,1\}//'; }

# The median of the numbers on standard input, one a line ("none" when
# there is none).
bench_median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; else print "none" }'
}

# Fails unless every file named exists (they come from the build).
bench_need() {
    local f
    for f in "$@"; do
        [ -e "$f" ] || { echo "missing $f: build first (cmake --build $BUILD)" >&2; exit 1; }
    done
}
