#!/bin/bash
# The house check: the real tree passes, and the checker itself catches what it is there
# to catch on small made-up trees (an include up the rooms, a folder circle, a message box
# below the program, a byte helper outside the cursor), so a broken checker cannot pass.
# Usage: check_house.sh SOURCE_DIR
set -u
source_dir=$1
checker="$source_dir/scripts/check-includes.py"
status=0

if ! python3 "$checker" "$source_dir"; then
    echo "FAIL: the source tree breaks the house rules (see above)"
    status=1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A tree of three rooms that keeps every rule.
make_tree() {
    rm -rf "$scratch/tree"
    mkdir -p "$scratch/tree"/{app,model,base}
    printf '#include "model/Data.h"\nint main() { return 0; }\n' >"$scratch/tree/app/main.cpp"
    printf '#include "base/Bytes.h"\nstruct Data {};\n' >"$scratch/tree/model/Data.h"
    printf '// the cursor\nstruct Bytes {};\n' >"$scratch/tree/base/Bytes.h"
}

expect() {  # expect pass|fail "what" MESSAGE-PATTERN
    local want=$1 what=$2 pattern=${3:-}
    local out
    out=$(python3 "$checker" "$scratch/tree" 2>&1)
    local got=$?
    if [ "$want" = pass ] && [ $got -ne 0 ]; then
        echo "FAIL: $what: the checker refused a tree that keeps the rules:"; echo "$out"; status=1
    elif [ "$want" = fail ] && [ $got -eq 0 ]; then
        echo "FAIL: $what: the checker passed it:"; echo "$out"; status=1
    elif [ -n "$pattern" ] && ! grep -q -- "$pattern" <<<"$out"; then
        echo "FAIL: $what: the report does not say \"$pattern\":"; echo "$out"; status=1
    else
        echo "ok: $what"
    fi
}

make_tree
expect pass "a tree whose includes run down"

make_tree
printf '#include "app/Globals.h"\n' >>"$scratch/tree/model/Data.h"
printf 'int g;\n' >"$scratch/tree/app/Globals.h"
expect fail "an include from a lower room into a higher one" "model/Data.h:3: model/ includes app/Globals.h"

make_tree
printf '#include "model/Data.h"\n' >>"$scratch/tree/base/Bytes.h"
expect fail "a folder circle" "folder circle\|a room above it"

make_tree
printf 'void f() { showMessage("Error", "x"); }\n' >"$scratch/tree/model/Load.cpp"
expect fail "a message box below the program" "showMessage( below app/"

make_tree
printf 'void f() { std::exit(1); }\n' >"$scratch/tree/model/Load.cpp"
expect fail "an exit below the program" "exit( below app/"

make_tree
printf 'unsigned le32(const unsigned char* p) { return p[0]; }\n' >"$scratch/tree/model/Load.cpp"
expect fail "a byte helper outside the cursor" "byte helper le32("

make_tree
printf 'void f() { /* showMessage("x") */ const char* s = "exit(1)"; (void)s; }\n' >"$scratch/tree/model/Load.cpp"
expect pass "the words in comments and strings"

exit $status
