"""Checks for the campaign's traced cases (scripts/campaign.sh traced), over what `kqmon watch --format
json` wrote, kqmon's own messages and kqtrace's --log. Each command prints its figures on one line and
exits 1 when the property does not hold.

    traced_check.py whole TRACE.jsonl CLIENT EXPECTED   # client CLIENT's statements are the lines of
                                                        # EXPECTED, once each and in order, no gap
    traced_check.py ran TRACE.jsonl SERVER_LOG OFFSET   # every statement shown is one the server's log
                                                        # (log_statement = all) has from OFFSET on
    traced_check.py account TRACE.jsonl KQTRACE_LOG...  # per client: shown + lost in gaps = taken
    traced_check.py writers TRACE.jsonl COUNT [EARLIER.jsonl]  # COUNT clients shown; each one's
                                                        # numbered inserts in order, none twice
"""
import collections
import json
import re
import sys


def records(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                # A monitor killed with -9 may leave its last line half written.
                try:
                    yield json.loads(line)
                except json.JSONDecodeError:
                    if not line.endswith("\n"):
                        return
                    raise


def whole(trace, client, expected_path):
    with open(expected_path, encoding="utf-8") as f:
        expected = [line.rstrip("\n") for line in f if line.strip()]
    got, gaps = [], 0
    for r in records(trace):
        if r["kq.client.id"] != client:
            continue
        if r["kind"] == "gap":
            gaps += r["kq.gap.missing"]
        elif r["kind"] == "statement":
            # psql sends a script's statement with its ';'.
            got.append(r["db.query.text"].rstrip().rstrip(";"))
    expected = [e.rstrip(";") for e in expected]
    if got == expected and gaps == 0:
        print(f"{len(got)} statement(s) of client {client}, all once and in order")
        return 0
    first = next((i for i in range(max(len(got), len(expected)))
                  if i >= len(got) or i >= len(expected) or got[i] != expected[i]), None)
    print(f"client {client}: expected {len(expected)} statement(s), shown {len(got)}, lost in gaps {gaps}; "
          f"first difference at {first}")
    return 1


def server_statements(path, offset):
    head = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ \S+ \[\d+\] LOG:  statement: (.*)$")
    with open(path, "rb") as f:
        f.seek(offset)
        text = f.read().decode("utf-8", "replace")
    found = collections.Counter()
    for line in text.split("\n"):
        m = head.match(line)
        if m:
            found[m.group(1)] += 1
    return found


def ran(trace, server_log, offset):
    served = server_statements(server_log, offset)
    shown = collections.Counter()
    failed = 0
    for r in records(trace):
        if r["kind"] == "statement":
            shown[r["db.query.text"]] += 1
            failed += r.get("kq.status") == "error"
    extra = {text: n - served[text] for text, n in shown.items() if n > served[text]}
    total = sum(shown.values())
    if extra:
        print(f"{total} statement(s) shown, {len(extra)} text(s) shown more often than the server ran them: "
              f"{list(extra.items())[:3]}")
        return 1
    print(f"{total} statement(s) shown ({failed} failed), every one run by the server")
    return 0


def account(trace, logs):
    """Per client, the statements shown and those lost in gaps against what the client said a monitor
    took. A client's ring starts with the record that starts its log (number 1), which the client does
    not count as a statement: shown, it is no statement; lost in a gap from number 1, it is one of the
    gap's records and not one of the client's statements."""
    shown, lost = collections.Counter(), collections.Counter()
    for r in records(trace):
        if r["kind"] == "statement":
            shown[r["kq.client.id"]] += 1
        elif r["kind"] == "gap":
            lost[r["kq.client.id"]] += r["kq.gap.missing"]
            if r["kq.gap.from_ref_no"] == 1:
                lost[r["kq.client.id"]] -= 1
    taken = {}
    said = re.compile(r"client (-?\d+) detaching: (\d+) statement\(s\) traced, (\d+) taken by a monitor")
    for path in logs:
        with open(path, encoding="utf-8", errors="replace") as f:
            for text in f:
                m = said.search(text)
                if m:
                    taken[int(m.group(1))] = int(m.group(3))
    problems = [f"client {c}: shown {shown[c]} + lost {lost[c]} != taken {n}"
                for c, n in sorted(taken.items()) if shown[c] + lost[c] != n]
    figures = (f"{len(taken)} client(s) said at their end that a monitor took {sum(taken.values())}; "
               f"shown {sum(shown[c] for c in taken)}, lost in gaps {sum(lost[c] for c in taken)}")
    if problems or not taken:
        print(figures + "; " + ("; ".join(problems[:4]) if problems else "no client said what it traced"))
        return 1
    print(figures + ", each client's shown + lost = taken")
    return 0


def inserts(trace):
    insert = re.compile(r"^INSERT INTO t VALUES \((\d+), (\d+)\)$")
    return {(r["kq.client.id"], r["db.query.text"]) for r in records(trace)
            if r["kind"] == "statement" and insert.match(r["db.query.text"])}


def writers(trace, count, earlier=None):
    insert = re.compile(r"^INSERT INTO t VALUES \((\d+), (\d+)\)$")
    seqs = collections.defaultdict(list)
    gaps = collections.Counter()
    for r in records(trace):
        if r["kind"] == "gap":
            gaps[r["kq.client.id"]] += r["kq.gap.missing"]
        elif r["kind"] == "statement":
            m = insert.match(r["db.query.text"])
            if m:
                seqs[r["kq.client.id"]].append(int(m.group(2)))
    problems = []
    for client, seq in seqs.items():
        if len(set(seq)) != len(seq):
            problems.append(f"client {client} shows {len(seq) - len(set(seq))} insert(s) twice")
        if any(b <= a for a, b in zip(seq, seq[1:])):
            problems.append(f"client {client} shows its inserts out of order")
    shown = sum(len(s) for s in seqs.values())
    figures = f"{len(seqs)} client(s), {shown} insert(s) shown, {sum(gaps.values())} lost in gaps"
    if earlier:
        # Read again from the rings the killed monitor had read: shown by both.
        figures += f", {len(inserts(trace) & inserts(earlier))} also shown by the killed monitor"
    if len(seqs) != count:
        problems.append(f"{count} client(s) expected")
    if problems:
        print(figures + "; " + "; ".join(problems[:4]))
        return 1
    print(figures + ", each client's in order, none twice")
    return 0


def main():
    command = sys.argv[1]
    if command == "whole":
        return whole(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    if command == "ran":
        return ran(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    if command == "account":
        return account(sys.argv[2], sys.argv[3:])
    if command == "writers":
        return writers(sys.argv[2], int(sys.argv[3]), sys.argv[4] if len(sys.argv) > 4 else None)
    sys.exit(f"traced_check: unknown command {command}")


if __name__ == "__main__":
    sys.exit(main())
