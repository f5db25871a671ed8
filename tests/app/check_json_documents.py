#!/usr/bin/env python3
"""Checks kestrune's --json documents against docs/kestrune-output.schema.json.

Usage: check_json_documents.py SCHEMA DOC FOLDER

FOLDER holds the documents the console tests (tests_app) kept, one per
command and mode; DOC is docs/json.md, whose schema must be the schema file
and whose examples must pass it too, one example at least per command.
"""

import json
import pathlib
import re
import sys

try:
    from jsonschema import Draft202012Validator
except ImportError:
    sys.exit("check_json_documents: python3-jsonschema is missing; run tools/setup.sh")

# One document per command, with and without --all, and the ends a script
# must tell apart, a command line that could not be read and interrupts
# among them.
REQUIRED = [
    "scan", "fix", "destroy", "backup", "restore", "backups", "list", "map", "fix_map", "all_map",
    "all_scan", "all_fix", "all_destroy", "all_backup",
    "fix_cancelled", "fix_failed", "no_such_entry", "all_cancelled",
    "bad_option", "select_out_of_range", "interrupt_BeforeTheWrite", "interrupt_JustAfterTheWrite",
    "export_drive", "export_drive_not_json", "watch_refused",
    "images_builtin", "images_real", "images_missing", "images_wrong_size", "version",
]
COMMANDS = {"scan", "fix", "destroy", "backup", "restore", "backups", "list", "map",
            "export-drive", "images"}


def problems_of(validator, document):
    return [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}"
            for e in validator.iter_errors(document)]


def main(schema_path, doc_path, folder):
    schema = json.loads(pathlib.Path(schema_path).read_text())
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    failures = []

    folder = pathlib.Path(folder)
    for name in REQUIRED:
        if not (folder / f"{name}.json").is_file():
            failures.append(f"{folder}/{name}.json: missing (did tests_app run?)")
    for path in sorted(folder.glob("*.json")):
        try:
            document = json.loads(path.read_text())
        except ValueError as error:
            failures.append(f"{path}: not one JSON document: {error}")
            continue
        failures += [f"{path}: {p}" for p in problems_of(validator, document)]

    blocks = re.findall(r"^```json\n(.*?)^```", pathlib.Path(doc_path).read_text(),
                        re.S | re.M)
    if not blocks or json.loads(blocks[0]) != schema:
        failures.append(f"{doc_path}: its first json block is not {schema_path}")
    commands = set()
    all_shown = False
    for number, block in enumerate(blocks[1:], start=2):
        example = json.loads(block)
        commands.add(example.get("command"))
        all_shown = all_shown or example.get("all") is True
        failures += [f"{doc_path}, json block {number}: {p}"
                     for p in problems_of(validator, example)]
    if not COMMANDS <= commands or not all_shown:
        failures.append(f"{doc_path}: no example of {sorted(COMMANDS - commands)}"
                        + ("" if all_shown else " nor of --all"))

    for failure in failures:
        print(failure)
    checked = len(list(folder.glob("*.json")))
    print(f"check_json_documents: {checked} documents and {len(blocks) - 1} examples, "
          f"{len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
