#!/usr/bin/env python3
"""A --json document read as a program would: strict UTF-8, one JSON value, no
NaN and no key twice, valid against doc/vexmora.schema.json by jsonschema.

As a command, `json_document.py SCHEMA FILE` prints every value of the document
as `path=value` lines (path parts joined by '.', the value as JSON), for the
C++ tests to assert on; it exits 1 with the reasons when the document is not
valid, 2 when jsonschema is missing.
"""
import json
import sys


def _no_duplicates(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f"key {key!r} twice in one object")
        seen[key] = value
    return seen


def _no_constant(name):
    raise ValueError(f"{name} is not JSON")


def parse(data):
    """The one JSON value of the bytes; ValueError when they are not one."""
    text = data.decode("utf-8")  # strict: a byte that is not UTF-8 raises
    return json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=_no_constant)


def schema_errors(document, schema):
    """What makes the document invalid against the schema, as lines; none when valid."""
    import jsonschema  # Debian's python3-jsonschema

    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    return [f"{'/'.join(str(p) for p in error.absolute_path) or '(document)'}: {error.message}"
            for error in sorted(validator.iter_errors(document), key=lambda e: list(map(str, e.absolute_path)))]


def load_schema(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def flatten(value, path=""):
    if isinstance(value, dict):
        if not value:
            yield path, "{}"
        for key, item in value.items():
            yield from flatten(item, f"{path}.{key}" if path else key)
    elif isinstance(value, list):
        if not value:
            yield path, "[]"
        for index, item in enumerate(value):
            yield from flatten(item, f"{path}.{index}" if path else str(index))
    else:
        yield path, json.dumps(value, ensure_ascii=False)


def main():
    schema_path, document_path = sys.argv[1:3]
    try:
        import jsonschema  # noqa: F401
    except ImportError:
        print("python3-jsonschema is not installed", file=sys.stderr)
        return 2
    with open(document_path, "rb") as f:
        data = f.read()
    try:
        document = parse(data)
    except ValueError as e:
        print(f"not one JSON document: {e}", file=sys.stderr)
        return 1
    errors = schema_errors(document, load_schema(schema_path))
    if errors:
        print("\n".join(errors), file=sys.stderr)
        return 1
    out = sys.stdout.buffer
    for path, value in flatten(document):
        out.write(f"{path}={value}\n".encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
