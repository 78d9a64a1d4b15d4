#!/bin/sh
# A stand-in for an analysis program, to show the coupling with `rbo`.
#
# rbo runs it once per analysis point, in a working folder of its own:
#   inputs.txt   written by rbo: one "name = value" line per model variable
#   outputs.txt  written here: one "name = value" line per response
# A non-zero exit code (with a message on stderr) tells rbo that the
# analysis failed; rbo then stops and reports the inputs of the point.
# Any program in any language can take its place.
exec awk -F'=' '
  { gsub(/[ \t]/, "", $1); value[$1] = $2 + 0 }
  END {
    if (!("R" in value) || !("S" in value)) { print "inputs.txt lacks R or S" > "/dev/stderr"; exit 2 }
    printf "g = %.17g\n", value["R"] - value["S"] > "outputs.txt"
  }' inputs.txt
