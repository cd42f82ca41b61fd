#!/bin/sh
# The module exports the two plug-in entry points and nothing else.
set -eu
symbols=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ')
expected="qt_plugin_instance qt_plugin_query_metadata "
if [ "$symbols" != "$expected" ]; then
  echo "exported: $symbols"
  echo "expected: $expected"
  exit 1
fi
echo "exported: $symbols"
