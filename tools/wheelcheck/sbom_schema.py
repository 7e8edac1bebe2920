"""The SBOM against CycloneDX 1.6's own JSON schema (bom-1.6.schema.json and the two it refers
to, copied beside this file from CycloneDX's tag 1.6.1 with their licence), validated by
jsonschema. The references are resolved from those copies only: nothing is fetched."""
import json
from pathlib import Path

SCHEMAS = Path(__file__).resolve().parent / "cyclonedx-1.6"
BOM_SCHEMA = "bom-1.6.schema.json"
REFERENCED = ("spdx.schema.json", "jsf-0.82.schema.json")


class SchemaUnavailable(Exception):
    """jsonschema is not importable, or the schema files are not where they belong."""


def _validator():
    try:
        import jsonschema
        from referencing import Registry, Resource
        from referencing.exceptions import Unresolvable
    except ImportError as e:  # jsonschema 4.18 and later resolve through referencing
        raise SchemaUnavailable(f"the CycloneDX schema check needs jsonschema 4.18 or later (python3-jsonschema, "
                                f"group pydeps of setup/sid.lock): {e}") from None
    try:
        schemas = {n: json.loads((SCHEMAS / n).read_text()) for n in (BOM_SCHEMA, *REFERENCED)}
    except (OSError, ValueError) as e:
        raise SchemaUnavailable(f"the CycloneDX 1.6 schema is unreadable: {e}") from None
    bom = schemas[BOM_SCHEMA]
    cls = jsonschema.validators.validator_for(bom)
    # A registry without a retrieve function: a $ref outside these three fails, never fetches.
    registry = Registry().with_resources((s["$id"], Resource.from_contents(s)) for s in schemas.values())
    return cls(bom, registry=registry, format_checker=cls.FORMAT_CHECKER), Unresolvable


def schema_problems(bom):
    """One line per place where BOM (the parsed document) breaks CycloneDX 1.6's schema."""
    out = []
    validator, unresolved = _validator()
    try:
        errors = sorted(validator.iter_errors(bom), key=lambda e: list(map(str, e.absolute_path)))
    except unresolved as e:
        raise SchemaUnavailable(f"a $ref that the copies in {SCHEMAS} cannot resolve (nothing is fetched): {e}") from None
    for error in errors:
        where = "".join(f"[{p}]" if isinstance(p, int) else f".{p}" for p in error.absolute_path) or "(document)"
        out.append(f"CycloneDX 1.6 schema: {where.lstrip('.')}: {error.message[:200]}")
    return out
