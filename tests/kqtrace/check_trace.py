"""Checks one kqtrace case: the statements that kqmon wrote as JSON lines against the statements the
case expects, every one once and in order.

    check_trace.py TRACE.jsonl --expect FILE          # FILE: the expected statements, NUL-separated;
                                                      # "!TEXT" for one that fails (then all are checked)
    check_trace.py TRACE.jsonl --server-log LOG OFFSET  # the server's own log (log_statement = all)
                                                        # from byte OFFSET: simple-protocol statements
Prints what differs and exits 1 on a mismatch.
"""
import json
import re
import sys

RECORD = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ \S+ \[\d+\] ")


def traced(path):
    """The statements, client by client in the order the clients first showed one (so a program that
    forks lists its own statements, then its child's), each client's in its order."""
    by_client = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if not line.strip():
                continue
            record = json.loads(line)
            if record["kind"] == "gap":
                sys.exit(f"check: {record['kq.gap.missing']} statement(s) lost in a gap")
            if record["kind"] == "statement":
                if record["cut"]:
                    sys.exit("check: a statement was cut: raise the buffer size")
                # Outcome fields (duration, rows, status, SQLSTATE) are checked here once kqmon
                # shows them: the record is at hand as `record`.
                text = record["db.query.text"]
                # A failed statement is expected as "!TEXT" (when the expectation says so).
                failed = record.get("kq.status") == "error"
                by_client.setdefault(record["kq.client.id"], []).append((text, failed))
    return [entry for entries in by_client.values() for entry in entries]


def server_statements(path, offset):
    """The texts of the server's "statement:" records, continuation lines included."""
    with open(path, "rb") as f:
        f.seek(offset)
        text = f.read().decode("utf-8", "replace")
    records, current = [], None
    for line in text.split("\n"):
        if RECORD.match(line):
            current = None
            body = RECORD.sub("", line)
            if body.startswith("LOG:  statement: "):
                current = [body[len("LOG:  statement: "):]]
                records.append(current)
        elif current is not None:
            # The server's log indents a message's further lines with a tab.
            current.append(line[1:] if line.startswith("\t") else line)
    out = []
    for r in records:
        # The log's last line break belongs to the record, not to the statement.
        out.append("\n".join(r).rstrip("\n"))
    return out


def main():
    records = traced(sys.argv[1])
    if sys.argv[2] == "--expect":
        with open(sys.argv[3], encoding="utf-8") as f:
            expected = [s for s in f.read().split("\0") if s != ""]
        # Outcomes are checked where the expectation marks any failure: then every statement's status.
        if any(e.startswith("!") for e in expected):
            got = [("!" if failed else "") + text for text, failed in records]
        else:
            got = [text for text, _ in records]
    else:
        expected = server_statements(sys.argv[3], int(sys.argv[4]))
        got = [text for text, _ in records]
    if got == expected:
        print(f"check: {len(got)} statement(s), all once and in order")
        return 0
    print(f"check: expected {len(expected)} statement(s), traced {len(got)}")
    for i in range(max(len(got), len(expected))):
        e = expected[i] if i < len(expected) else "<none>"
        g = got[i] if i < len(got) else "<none>"
        if e != g:
            print(f"  first difference at {i + 1}:\n    expected: {e[:300]!r}\n    traced:   {g[:300]!r}")
            break
    return 1


if __name__ == "__main__":
    sys.exit(main())
