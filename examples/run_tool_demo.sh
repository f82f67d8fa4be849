#!/bin/sh
# Shows the command-line tool at work on the bundled example file: prints
# it, reads a few values, changes a copy of it and prints the changed copy.
# The bundled file itself is never changed.
# Usage: run_tool_demo.sh TOOL EXAMPLE_FILE WORK_DIR
set -eu
tool=$1
mkdir -p "$3"
cd "$3"
cp "$2" example.ini

run() {
    printf '\n$ brantcfg %s\n' "$*"
    "$tool" "$@"
}

run dump example.ini
run dump example.ini --format lines
run sections example.ini
run get example.ini window title
run get example.ini network port --type int
run get example.ini network retry --type bool
run get example.ini window depth --default 24
run set example.ini window width 1024 --verbose
run set example.ini window width 1024 --verbose
run set example.ini network timeout 5 --type float
run set example.ini fonts size 12
run del example.ini window maximized
run set example.ini window depth 32 --existing || echo "(status $?: no key window/depth, nothing written)"

printf '\n$ brantcfg set - window title Demo < example.ini | brantcfg get - window title\n'
"$tool" set - window title Demo < example.ini | "$tool" get - window title

printf '\nThe changed copy, %s/example.ini:\n' "$PWD"
cat example.ini
