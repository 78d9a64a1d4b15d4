#!/usr/bin/env python3
"""A stand-in for an analysis program, to show the coupling with `rbo`.

rbo runs it once per analysis point, in a working folder of its own:
  inputs.txt   written by rbo: one "name = value" line per model variable
  outputs.txt  written here: one "name = value" line per response
A non-zero exit code (with a message on stderr) tells rbo that the analysis
failed; rbo then stops and reports the inputs of the point.
"""
import sys

inputs = {}
with open("inputs.txt") as f:
    for line in f:
        name, value = line.split("=")
        inputs[name.strip()] = float(value)

R, S = inputs["R"], inputs["S"]
if R <= 0:
    print(f"resistance must be positive, got R = {R}", file=sys.stderr)
    sys.exit(2)

with open("outputs.txt", "w") as f:
    f.write(f"g = {R - S!r}\n")
