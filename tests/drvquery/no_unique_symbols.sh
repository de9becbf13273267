#!/bin/sh
# A library holding STB_GNU_UNIQUE symbols is never unloaded by glibc: none may remain in the NVAPI
# stand-in, whose release the loader tests watch. Usage: no_unique_symbols.sh LIBRARY
set -eu
unique=$(readelf -W --syms --dyn-syms "$1" | grep -w UNIQUE || true)
if [ -n "$unique" ]; then
  echo "$1 carries unique symbols, so it cannot be unloaded:" >&2
  echo "$unique" >&2
  exit 1
fi
readelf -W --dyn-syms "$1" | grep -qw nvapi_QueryInterface
