#!/usr/bin/env bash
# Makes a fresh seed corpus: make_corpus.sh FUZZ_BUILD_DIR CORPUS_DIR [PROFILE...]
set -euo pipefail
build=$1 corpus=$2
shift 2
rm -rf "$corpus"
mkdir -p "$corpus"
"$build/fuzz_seeds" "$corpus" "$@"
