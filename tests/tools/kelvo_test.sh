#!/bin/sh
# End-to-end checks of the kelvo tool: output, exit codes and messages.
kelvo="$1"
examples="$2"
failures=0
check() { # name expected-exit expected-output-file command...
    name="$1"; want_rc="$2"; want="$3"; shift 3
    got=$("$@" 2>&1); rc=$?
    if [ "$rc" != "$want_rc" ] || [ "$got" != "$(cat "$want")" ]; then
        echo "FAIL $name (exit $rc, wanted $want_rc)"; echo "$got" | head -20
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

cat > "$dir/soft" <<'OUT'
node      state            belief
Weather   dry              0.000000
          rain             0.000000
          snow             1.000000
Alarm     yes              0.090820
          no               0.909180
Trains    yes              0.964844
          no               0.035156
Late      yes              1.000000
          no               0.000000
Umbrella  yes              0.428571
          no               0.571429
P(evidence) = 0.03584
OUT
check evidence-and-likelihood 0 "$dir/soft" "$kelvo" beliefs "$examples/commute.net" \
    --evidence Late=yes --evidence Weather=#2 --likelihood Umbrella=0.5,1
# The same network in BIF gives the same numbers.
check bif 0 "$dir/soft" "$kelvo" beliefs "$examples/commute.bif" \
    --evidence Late=yes --evidence Weather=#2 --likelihood Umbrella=0.5,1
printf 'variable a { type discrete [ 2 ] { y, n }; }\nprobability ( a ) { table 0.5; }\n' > "$dir/bad.bif"
printf '%s\n' "$dir/bad.bif:2: the table of \`a' needs 2 numbers, not 1" \
    "kelvo: cannot load $dir/bad.bif: An error occurred during parsing.  If a parse error handling function was specified, it will have been called with a description of the error and its location in the source." \
    > "$dir/e-bif"
check bad-bif 1 "$dir/e-bif" "$kelvo" beliefs "$dir/bad.bif"

cat > "$dir/max" <<'OUT'
node      state            max-marginal
Weather   dry              1.000000
          rain             0.437500
          snow             0.046784
Alarm     yes              0.008310
          no               1.000000
Trains    yes              0.078947
          no               1.000000
Late      yes              0.000000
          no               1.000000
Umbrella  yes              0.437500
          no               1.000000
P(most probable configuration) = 0.38988
OUT
check max 0 "$dir/max" "$kelvo" beliefs "$examples/commute.net" --max --evidence Late=no

echo "kelvo: unknown node: Nope" > "$dir/e1"
check unknown-node 1 "$dir/e1" "$kelvo" beliefs "$examples/commute.net" --evidence Nope=yes
echo "kelvo: unknown state maybe of node Late" > "$dir/e2"
check unknown-state 1 "$dir/e2" "$kelvo" beliefs "$examples/commute.net" --evidence Late=maybe
echo "kelvo: unknown state #2 of node Late" > "$dir/e3"
check bad-index 1 "$dir/e3" "$kelvo" beliefs "$examples/commute.net" --evidence Late=#2
echo "kelvo: bad number: x" > "$dir/e4"
check bad-number 1 "$dir/e4" "$kelvo" beliefs "$examples/commute.net" --likelihood Umbrella=1,x
echo "kelvo: --likelihood for Umbrella needs 2 weights" > "$dir/e5"
check weight-count 1 "$dir/e5" "$kelvo" beliefs "$examples/commute.net" --likelihood Umbrella=1
echo "kelvo: unknown command: frobnicate (see kelvo --help)" > "$dir/e6"
check unknown-command 1 "$dir/e6" "$kelvo" frobnicate
echo "kelvo: unknown method: best" > "$dir/e7"
check unknown-method 1 "$dir/e7" "$kelvo" compile "$examples/commute.net" --method best
echo "kelvo: cannot read $dir/none.net: No such file or directory" > "$dir/e8"
check unreadable 1 "$dir/e8" "$kelvo" beliefs "$dir/none.net"
printf 'node A { states = ("a" "b"); }\npotential (A) { data = (0.5 -0.5); }\n' > "$dir/bad.net"
printf '%s\n%s\n' "$dir/bad.net:2: <number> must be nonnegative" \
    "kelvo: cannot load $dir/bad.net: An error occurred during parsing.  If a parse error handling function was specified, it will have been called with a description of the error and its location in the source." > "$dir/e9"
check parse-error 1 "$dir/e9" "$kelvo" beliefs "$dir/bad.net"
printf 'node A { states = ("a" "b"); }\nnode B { states = ("a" "b"); }\npotential (A) { data = (1 0); }\npotential (B | A) { data = ((1 0) (0.5 0.5)); }\n' > "$dir/zero.net"
echo "kelvo: cannot propagate the evidence: Propagation of inconsistent evidence has been attempted, or underflow has occurred" > "$dir/e10"
check impossible 1 "$dir/e10" "$kelvo" beliefs "$dir/zero.net" --evidence B=b

out=$("$kelvo" --help); rc=$?
case "$out" in "usage: kelvo beliefs NETFILE"*) [ $rc = 0 ] && echo "ok   help" ;; *) echo "FAIL help"; failures=$((failures + 1)) ;; esac
out=$("$kelvo" compile "$examples/commute.net"); rc=$?
case "$out" in *"cliques          3"*"junction trees   1"*) [ $rc = 0 ] && echo "ok   compile" ;; *) echo "FAIL compile"; echo "$out"; failures=$((failures + 1)) ;; esac

[ $failures = 0 ]
