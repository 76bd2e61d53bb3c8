#!/bin/sh
# Mutation run: plants each fault of scripts/mutants.txt in a scratch copy of
# the tree and runs the whole suite against it. Arguments go to mutants.py
# (mutant ids to run only those; --list; --help).
exec nice python3 "$(dirname "$0")/mutants.py" "$@"
