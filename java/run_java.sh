#!/bin/sh
# Runs a Java test class under -Xcheck:jni and fails on its exit status or
# on any warning the JNI checks print.
java=$1 classpath=$2 class=$3
shift 3
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$java" -Xcheck:jni -Dfile.encoding=UTF-8 -cp "$classpath" "$class" "$@" >"$log" 2>&1
status=$?
cat "$log"
if grep -q -E 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI' "$log"; then
    echo "JNI check warnings" >&2
    exit 1
fi
exit $status
