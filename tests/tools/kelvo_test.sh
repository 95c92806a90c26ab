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
log P(evidence) = -3.32869
conflict = 0.456967
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
most probable configuration: Weather=dry Alarm=no Trains=no Late=no Umbrella=no
P(most probable configuration) = 0.38988
log P(most probable configuration) = -0.941916
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
check unknown-command 2 "$dir/e6" "$kelvo" frobnicate
echo "kelvo: unknown method: best" > "$dir/e7"
check unknown-method 2 "$dir/e7" "$kelvo" compile "$examples/commute.net" --method best
echo "kelvo: cannot read $dir/none.net: No such file or directory" > "$dir/e8"
check unreadable 1 "$dir/e8" "$kelvo" beliefs "$dir/none.net"
printf 'node A { states = ("a" "b"); }\npotential (A) { data = (0.5 -0.5); }\n' > "$dir/bad.net"
printf '%s\n%s\n' "$dir/bad.net:2: <number> must be nonnegative" \
    "kelvo: cannot load $dir/bad.net: An error occurred during parsing.  If a parse error handling function was specified, it will have been called with a description of the error and its location in the source." > "$dir/e9"
check parse-error 1 "$dir/e9" "$kelvo" beliefs "$dir/bad.net"
printf 'node A { states = ("a" "b"); }\nnode B { states = ("a" "b"); }\npotential (A) { data = (1 0); }\npotential (B | A) { data = ((1 0) (0.5 0.5)); }\n' > "$dir/zero.net"
echo "kelvo: cannot propagate the evidence: Propagation of inconsistent evidence has been attempted, or underflow has occurred" > "$dir/e10"
check impossible 1 "$dir/e10" "$kelvo" beliefs "$dir/zero.net" --evidence B=b

# Machine-readable output.
cat > "$dir/json" <<'OUT'
{
  "network": "EXAMPLES/commute.bif",
  "beliefs": {
    "Weather": { "dry": 0.4053, "rain": 0.3524, "snow": 0.2423},
    "Alarm": { "yes": 0.2066, "no": 0.7934},
    "Trains": { "yes": 0.6721, "no": 0.3279},
    "Late": { "yes": 1, "no": 0},
    "Umbrella": { "yes": 0.5436, "no": 0.4564}
  },
  "P(evidence)": 0.2113,
  "log P(evidence)": -1.554,
  "conflict": 1
}
OUT
sed -i "s|EXAMPLES|$examples|" "$dir/json"
check json 0 "$dir/json" "$kelvo" beliefs "$examples/commute.bif" --json --precision 4 --evidence Late=yes
cat > "$dir/csv" <<'OUT'
node,state,max-marginal
Weather,dry,1
Weather,rain,0.4375
Weather,snow,0.04678
Alarm,yes,0.00831
Alarm,no,1
Trains,yes,0.07895
Trains,no,1
Late,yes,0
Late,no,1
Umbrella,yes,0.4375
Umbrella,no,1
Weather,dry,most probable
Alarm,no,most probable
Trains,no,most probable
Late,no,most probable
Umbrella,no,most probable
P(most probable configuration),,0.3899
log P(most probable configuration),,-0.9419
OUT
check csv 0 "$dir/csv" "$kelvo" beliefs "$examples/commute.net" --csv --precision 4 --max --evidence Late=no

# Cases: one row per line of a case data file.
printf 'Late, Weather, Alarm\n"yes", "snow", *\n"no", *, "yes"\n*, *, *\n' > "$dir/commute.dat"
cat > "$dir/cases" <<'OUT'
  case    P(evidence)     Trains=yes      Trains=no   Umbrella=yes    Umbrella=no
     1       0.051200       0.964844       0.035156       0.600000       0.400000
     2       0.006350       0.090551       0.909449       0.420472       0.579528
     3       1.000000       0.230000       0.770000       0.450000       0.550000
OUT
check cases 0 "$dir/cases" "$kelvo" cases "$examples/commute.net" "$dir/commute.dat" --nodes Trains,Umbrella
cat > "$dir/cases-csv" <<'OUT'
case,P(evidence),Trains=yes,Trains=no
1,0.0512,0.964844,0.0351562
2,0.00635,0.0905512,0.909449
3,1,0.23,0.77
OUT
check cases-csv 0 "$dir/cases-csv" "$kelvo" cases "$examples/commute.net" "$dir/commute.dat" --nodes Trains --csv --precision 6
cat > "$dir/cases-json" <<'OUT'
[
  {"case": 1, "P(evidence)": 0.0512, "Trains=yes": 0.964844, "Trains=no": 0.0351562},
  {"case": 2, "P(evidence)": 0.00635, "Trains=yes": 0.0905512, "Trains=no": 0.909449},
  {"case": 3, "P(evidence)": 1, "Trains=yes": 0.23, "Trains=no": 0.77}
]
OUT
check cases-json 0 "$dir/cases-json" "$kelvo" cases "$examples/commute.net" "$dir/commute.dat" --nodes Trains --json --precision 6 --threads 2

# Conversions: every format gives the same beliefs back; UAI names the
# variables X0, X1, ... in order.
for f in net kb bif xml uai; do
    "$kelvo" convert "$examples/commute.net" "$dir/c.$f" || echo "FAIL convert to $f"
done
for f in net kb bif xml; do
    check "convert-$f" 0 "$dir/soft" "$kelvo" beliefs "$dir/c.$f" \
        --evidence Late=yes --evidence Weather=#2 --likelihood Umbrella=0.5,1
done
cat > "$dir/soft-uai" <<'OUT'
node  state            belief
X0    0                0.000000
      1                0.000000
      2                1.000000
X1    0                0.090820
      1                0.909180
X2    0                0.964844
      1                0.035156
X3    0                1.000000
      1                0.000000
X4    0                0.428571
      1                0.571429
P(evidence) = 0.03584
log P(evidence) = -3.32869
conflict = 0.456967
OUT
check convert-uai 0 "$dir/soft-uai" "$kelvo" beliefs "$dir/c.uai" \
    --evidence X3=0 --evidence X0=#2 --likelihood X4=0.5,1
printf '2 3 0 0 2\n' > "$dir/c.evid"
check uai-evidence 0 "$dir/soft-uai" "$kelvo" beliefs "$dir/c.uai" --uai-evidence "$dir/c.evid" --likelihood X4=0.5,1
check stdin 0 "$dir/soft" sh -c "\"$kelvo\" beliefs - --from bif --evidence Late=yes --evidence Weather=#2 --likelihood Umbrella=0.5,1 < \"$examples/commute.bif\""
"$kelvo" convert "$examples/commute.bif" - --to xmlbif > "$dir/out.xmlbif"
check stdout 0 "$dir/soft" "$kelvo" beliefs "$dir/out.xmlbif" \
    --evidence Late=yes --evidence Weather=#2 --likelihood Umbrella=0.5,1
check optimal 0 "$dir/soft" "$kelvo" beliefs "$examples/commute.net" --method optimal --threads 2 \
    --evidence Late=yes --evidence Weather=#2 --likelihood Umbrella=0.5,1
echo "kelvo: unknown format: dot" > "$dir/e11"
check unknown-format 2 "$dir/e11" "$kelvo" convert "$examples/commute.net" "$dir/x" --to dot
echo "kelvo: bad value for --precision: 99" > "$dir/e12"
check bad-precision 2 "$dir/e12" "$kelvo" beliefs "$examples/commute.net" --precision 99
echo "kelvo: cases: NETFILE and CASEFILE expected" > "$dir/e13"
check cases-usage 2 "$dir/e13" "$kelvo" cases "$examples/commute.net"
# Ties among the max-marginals: the configuration printed is a most
# probable one (A=a0 with B=b0 has probability 0).
printf 'node A { states = ("a0" "a1"); }\nnode B { states = ("b0" "b1"); }\npotential (A) { data = (0.5 0.5); }\npotential (B | A) { data = ((0 1) (1 0)); }\n' > "$dir/tie.net"
cat > "$dir/tie" <<'OUT'
node  state            max-marginal
A     a0               1.000000
      a1               1.000000
B     b0               1.000000
      b1               1.000000
most probable configuration: A=a0 B=b1
P(most probable configuration) = 0.5
log P(most probable configuration) = -0.693147
OUT
check max-tie 0 "$dir/tie" "$kelvo" beliefs "$dir/tie.net" --max

# Influence diagrams: expected utilities of the options, and of a utility
# node once its decision is made.
printf 'decision D { states = ("a" "b"); }\nnode C { states = ("c1" "c2"); }\nutility U { }\npotential (D) { }\npotential (C) { data = (0.3 0.7); }\npotential (U | D C) { data = ((10 0) (2 5)); }\n' > "$dir/id.net"
cat > "$dir/id" <<'OUT'
node  state            belief
D     a                3.000000  (expected utility)
      b                4.100000  (expected utility)
C     c1               0.300000
      c2               0.700000
U     expected utility -
P(evidence) = 1
log P(evidence) = 0
conflict = 1
OUT
check influence-diagram 0 "$dir/id" "$kelvo" beliefs "$dir/id.net"
sed -e 's/^      b                4.100000/      b                4.100000/' -e 's/^D     a                3.000000/D     a                0.000000/' \
    -e 's/^U     expected utility -/U     expected utility 4.100000/' "$dir/id" > "$dir/id-b"
check decided 0 "$dir/id-b" "$kelvo" beliefs "$dir/id.net" --evidence D=b

# Learning: EM on the commute network's own links, and PC finding them again.
cat > "$dir/em" <<'OUT'
log-likelihood = -404.51508896
OUT
check learn-em 0 "$dir/em" "$kelvo" learn em "$examples/commute.net" "$examples/commute.dat" "$dir/em.net"
grep -q "( 0.08074678" "$dir/em.net" || { echo "FAIL learned table"; failures=$((failures + 1)); }
cat > "$dir/pc" <<'OUT'
links = 4
log-likelihood = -404.514143792
OUT
check learn-pc 0 "$dir/pc" "$kelvo" learn pc "$examples/commute.net" "$examples/commute.dat" "$dir/pc.bif"
cat > "$dir/pc-links" <<'OUT'
probability ( Weather ) {
probability ( Alarm ) {
probability ( Trains | Weather ) {
probability ( Late | Alarm, Trains ) {
probability ( Umbrella | Weather ) {
OUT
check learned-links 0 "$dir/pc-links" grep '^probability' "$dir/pc.bif"

# The junction forest, in every form (the times left out).
cat > "$dir/forest" <<'OUT'
network          EXAMPLES/commute.net
nodes            5
cliques          3
largest clique   3 members
total table size 20
junction trees   1
OUT
sed -i "s|EXAMPLES|$examples|" "$dir/forest"
check compile-text 0 "$dir/forest" sh -c "\"$kelvo\" compile \"$examples/commute.net\" --method optimal | grep -v ' s\$'"
cat > "$dir/forest-csv" <<'OUT'
quantity,value
network,EXAMPLES/commute.net
nodes,5
cliques,3
largest clique,3
total table size,20
junction trees,1
OUT
sed -i "s|EXAMPLES|$examples|" "$dir/forest-csv"
check compile-csv 0 "$dir/forest-csv" sh -c "\"$kelvo\" compile \"$examples/commute.net\" --csv | grep -v seconds"
cat > "$dir/forest-json" <<'OUT'
{
  "network": "EXAMPLES/commute.net",
  "nodes": 5,
  "cliques": 3,
  "largest clique": 3,
  "total table size": 20,
  "junction trees": 1,
}
OUT
sed -i "s|EXAMPLES|$examples|" "$dir/forest-json"
check compile-json 0 "$dir/forest-json" sh -c "\"$kelvo\" compile \"$examples/commute.net\" --json | grep -v 'seconds\|stages'"

# PC from the data alone: the header gives the nodes, the labels their states.
cat > "$dir/pc-data" <<'OUT'
links = 4
log-likelihood = -404.516709423
OUT
check learn-pc-data 0 "$dir/pc-data" "$kelvo" learn pc "$examples/commute.dat" "$dir/pcd.bif"
check learned-links-data 0 "$dir/pc-links" grep '^probability' "$dir/pcd.bif"
echo "kelvo: learn em: NETFILE, CASEFILE and OUT expected" > "$dir/e14"
check learn-usage 2 "$dir/e14" "$kelvo" learn em "$examples/commute.dat" "$dir/x.net"

echo "kelvo 0.1.0" > "$dir/version"
check version 0 "$dir/version" "$kelvo" --version

out=$("$kelvo" --help); rc=$?
case "$out" in "usage: kelvo beliefs NETFILE"*) [ $rc = 0 ] && echo "ok   help" ;; *) echo "FAIL help"; failures=$((failures + 1)) ;; esac
out=$("$kelvo" compile "$examples/commute.net"); rc=$?
case "$out" in *"cliques          3"*"junction trees   1"*) [ $rc = 0 ] && echo "ok   compile" ;; *) echo "FAIL compile"; echo "$out"; failures=$((failures + 1)) ;; esac

[ $failures = 0 ]
