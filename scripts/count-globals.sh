#!/bin/sh
# Lists the mutable state our static libraries keep outside any object: variables at
# namespace scope and function-local statics, read from the symbol tables of the built
# libraries (writable .data/.bss sections only; read-only data, vtables, typeinfo,
# guard variables, iostream init objects and the GL entry-point table p_gl* are left out).
#
#   scripts/count-globals.sh [build-dir]      (default: build)
#
# Prints one line per variable, "namespace" or "local", library and name, then totals.
set -eu
build=${1:-build}
libs=$(find "$build" -name 'libpavonix_*.a' ! -name 'libpavonix_testsupport.a' | sort)
[ -n "$libs" ] || { echo "no libpavonix_*.a under $build: build first" >&2; exit 1; }

for lib in $libs; do
    objdump -t -C "$lib" 2>/dev/null | awk -v lib="$(basename "$lib" .a)" '
        # objdump -t: address flags section size [.hidden] name
        $0 ~ / O \./ {
            line = $0
            # the section is the field after the "O" flag
            n = split(line, f, /[ \t]+/)
            sect = ""
            for (i = 1; i <= n; ++i) if (f[i] == "O") { sect = f[i + 1]; break }
            if (sect !~ /^\.(t?data|t?bss)(\.|$)/) next
            if (sect ~ /^\.data\.rel\.ro/) next
            if (sect ~ /DW\.ref/) next
            name = line
            sub(/^.*\t[0-9a-f]+ +/, "", name)
            sub(/^\.hidden +/, "", name)
            if (name ~ /^(guard variable|vtable|typeinfo|VTT|construction vtable)/) next
            if (name ~ /std::__ioinit/) next
            if (name ~ /^p_gl/) next
            plain = name
            gsub(/\(anonymous namespace\)::/, "", plain)
            kind = (plain ~ /\)( const)?(::|::\{)/ || plain ~ /\{lambda/) ? "local" : "namespace"
            print kind "\t" lib "\t" name
        }'
done | sort -u -t '	' -k3,3 | sort > /tmp/count-globals.$$

cat /tmp/count-globals.$$
ns=$(grep -c '^namespace' /tmp/count-globals.$$ || true)
loc=$(grep -c '^local' /tmp/count-globals.$$ || true)
echo "total namespace-scope: $ns"
echo "total function-local statics: $loc"
rm -f /tmp/count-globals.$$
