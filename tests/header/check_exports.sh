#!/bin/sh
# Fails when the shared library exports a symbol other than the API.
lib="$1"
bad=$(nm -D --defined-only "$lib" | awk '{print $NF}' | grep -v -E '^(kv_|Java_)')
if [ -n "$bad" ]; then
    echo "unexpected exported symbols:"
    echo "$bad"
    exit 1
fi
count=$(nm -D --defined-only "$lib" | awk '{print $NF}' | grep -c '^kv_')
echo "$count kv_ symbols exported"
[ "$count" -gt 0 ]
