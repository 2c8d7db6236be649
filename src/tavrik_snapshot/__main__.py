"""python -m tavrik_snapshot info|check|dump FILE [--ids ID ...] [--json]

info   the figures of the snapshot (--json: as one JSON object)
check  the findings, one a line (--json: as a JSON list); exit status 1
       when load would fail on the file
dump   one JSON line per point: {"id", "vector", "payload"}; --ids keeps
       only the points with those ids

A file that cannot be read, or (info, dump) does not decode, prints load's
error text and exits with status 1.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, TextIO

from . import Finding, Info, check, info, points


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tavrik_snapshot", description="Inspect a tavrik snapshot file."
    )
    commands = parser.add_subparsers(dest="command", required=True)
    for name, summary in (
        ("info", "the figures of the points and the graph"),
        ("check", "what load would reject, and what loads but is suspect"),
        ("dump", "one JSON line per point"),
    ):
        command = commands.add_parser(name, help=summary, description=summary)
        command.add_argument("file", metavar="FILE")
        command.add_argument("--json", action="store_true", help="JSON output")
        if name == "dump":
            command.add_argument("--ids", type=int, nargs="+", metavar="ID", help="only these ids")
    return parser


def _counts(mapping: dict[Any, int]) -> str:
    return ", ".join(f"{key}: {count}" for key, count in mapping.items()) or "none"


def _ids(ids: list[int]) -> str:
    return " ".join(map(str, ids)) or "none"


def _write_info(figures: Info, out: TextIO) -> None:
    graph = figures["graph"]
    entry = graph["entry_point"]
    layers = {layer: links for layer, links in enumerate(graph["links_per_layer"]) if links}
    kinds = {key: " ".join(f"{kind} {count}" for kind, count in by_kind.items())
             for key, by_kind in figures["payload_keys"].items()}
    lines = [
        f"points: {figures['points']}",
        f"vector lengths: {_counts(figures['vector_lengths'])}",
        f"tenants: {_counts(figures['tenants'])}",
        "payload keys: " + ("; ".join(f"{key} ({kind})" for key, kind in kinds.items()) or "none"),
        f"graph: {graph['nodes']} nodes, entry point {_ids([] if entry is None else [entry])},"
        f" top layer {graph['max_level']}, m {graph['m']},"
        f" ef_construction {graph['ef_construction']},"
        f" ef_search {graph['ef_search']}",
        f"links per layer: {_counts(layers)}",
        f"linked ids without a point: {_ids(graph['linked_without_point'])}",
        f"linked ids without a node: {_ids(graph['linked_without_node'])}",
        f"file: {figures['file_bytes']} bytes, {figures['trailing_bytes']} after the snapshot",
    ]
    out.write("\n".join(lines) + "\n")


def _write_findings(findings: list[Finding], out: TextIO) -> None:
    if not findings:
        out.write("no findings: load takes the file as it is\n")
    for finding in findings:
        out.write(f"offset {finding['offset']}: {finding['severity']}: {finding['message']}\n")


def _dump(path: str, ids: list[int] | None, out: TextIO) -> None:
    for point_id, vector, payload in points(path, ids):
        components = vector.tolist() if hasattr(vector, "tolist") else vector
        out.write(json.dumps({"id": point_id, "vector": components, "payload": payload}) + "\n")


def main(argv: list[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    out = sys.stdout
    try:
        if arguments.command == "info":
            figures = info(arguments.file)
            if arguments.json:
                out.write(json.dumps(figures) + "\n")
            else:
                _write_info(figures, out)
            return 0
        if arguments.command == "check":
            findings = check(arguments.file)
            if arguments.json:
                out.write(json.dumps(findings) + "\n")
            else:
                _write_findings(findings, out)
            return 1 if any(finding["severity"] == "error" for finding in findings) else 0
        _dump(arguments.file, arguments.ids, out)
        return 0
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            return 0
        print(f"tavrik_snapshot: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
