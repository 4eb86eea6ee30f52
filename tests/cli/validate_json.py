"""Validates JSON lines (stdin) against velmorsmppdemo's schema (argv[1]).

Prints each line that does not match with the reason; exits 1 if any did.
Uses Debian's python3-jsonschema.
"""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.Draft202012Validator(schema)
bad = 0
for n, line in enumerate(sys.stdin, 1):
    line = line.strip()
    if not line:
        continue
    obj = json.loads(line)
    # oneOf: say which branch the type meant and why it failed.
    errors = list(validator.iter_errors(obj))
    if errors:
        bad += 1
        best = jsonschema.exceptions.best_match(errors)
        print(f"line {n}: {line}\n  {best.message} at {list(best.absolute_path)}")
print(f"{n if 'n' in dir() else 0} lines, {bad} not matching")
sys.exit(1 if bad else 0)
