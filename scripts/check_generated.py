#!/usr/bin/env python3
"""Checks that the generated files committed to the tree are what their
generators produce today: each generator runs on a copy of its folder (or into
a scratch file) and every file it writes must equal the committed one, and it
must write nothing that is not committed. Run from anywhere; exits 1 on the
first difference, naming the file. Standard library only.

A row: (generator, arguments, committed outputs). "{out}" in the arguments is
replaced by a scratch folder; outputs are paths relative to the tree. Rows
without "{out}" run on a copy of the generator's folder, and the outputs are
every file that the run adds or changes there.
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

GENERATORS = [
    ("hostlib/tools/gen_result_tables.py", ["hostlib/data/result_codes.txt", "{out}/vqx_result_tables.inc"],
     ["hostlib/core/vqx_result_tables.inc"]),
    ("testing/golden/caf/serialize_golden.py", ["{out}"],
     ["caf/tests/data/serialize_golden.bin", "caf/tests/data/serialize_golden.txt"]),
    ("gwlib/tests/check_wire.py", ["{out}"], "gwlib/tests/data/*.bin"),
    ("testing/golden/utillib/gen_msg_element_golden.py", ["{out}"], "utillib/tests/data/msg_element_*.bin"),
    ("testing/golden/sigtrace/gen_framings.py", ["{out}"], "sigtrace/tests/data/framing_*.bin"),
    ("testing/golden/sigtrace/gen_decoder_cases.py", ["{out}"], ["sigtrace/tests/data/decoder_model_cases.txt"]),
    ("testing/golden/sigtrace/gen_board_trace.py", ["{out}"], ["sigtrace/tests/data/board_trace_cases.txt"]),
    ("testing/golden/hostlib/peer_notifications.py", ["{out}"], ["hostlib/tests/data/peer_notifications.hex"]),
    ("testing/golden/caf/comm_golden.py", ["write", "{out}"], "caf/tests/data/comm_*.bin"),
    ("testing/golden/svclib/services_golden.py", ["write", "{out}"], "svclib/tests/data/svc_*.bin"),
    ("testing/golden/cmc/cmc_attr_golden.py", ["{out}"], ["cmc/tests/data/cmc_attr_payloads.txt"]),
    ("testing/cmcsim/cmcsim_wire.py", ["write", "{out}"],
     ["cmc/lib/tests/data/to_server_payloads.txt", "cmc/lib/tests/data/payload_records.txt",
      "cmc/lib/tests/data/server_sync_payloads.txt"]),
]


def snapshot(folder):
    return {n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n))}


def run(script, args, cwd):
    r = subprocess.run([sys.executable, script] + args, cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("check_generated: %s failed (%d): %s" % (script, r.returncode, r.stderr.strip()[-500:]))


def check_scratch(script, args, outputs, scratch):
    run(os.path.join(ROOT, script), [a.replace("{out}", scratch) for a in args], ROOT)
    if isinstance(outputs, str):
        # Every file the generator wrote has a committed twin in the pattern's folder.
        folder = os.path.join(ROOT, os.path.dirname(outputs))
        suffix = os.path.splitext(outputs)[1]
        pairs = [(os.path.join(folder, n), os.path.join(scratch, n)) for n in sorted(os.listdir(scratch))
                 if n.endswith(suffix)]
        if not pairs:
            return ["%s wrote nothing" % script]
    else:
        pairs = [(os.path.join(ROOT, o), os.path.join(scratch, os.path.basename(o))) for o in outputs]
    return [os.path.relpath(c, ROOT) for c, g in pairs
            if not os.path.exists(c) or not filecmp.cmp(c, g, shallow=False)]


def check_beside(script, scratch):
    src = os.path.join(ROOT, os.path.dirname(script))
    copy = os.path.join(scratch, "copy")
    shutil.copytree(src, copy)
    before = snapshot(copy)
    run(os.path.join(copy, os.path.basename(script)), [], copy)
    bad = []
    for n in sorted(snapshot(copy)):
        if n not in before:
            bad.append("%s (written by the generator, not committed)" % os.path.join(os.path.dirname(script), n))
        elif not filecmp.cmp(os.path.join(src, n), os.path.join(copy, n), shallow=False):
            bad.append(os.path.join(os.path.dirname(script), n))
    return bad


def main():
    failed = False
    for script, args, outputs in GENERATORS:
        with tempfile.TemporaryDirectory() as scratch:
            bad = check_beside(script, scratch) if outputs is None else check_scratch(script, args, outputs, scratch)
        for b in bad:
            print("check_generated: %s differs from what %s writes today" % (b, script))
            failed = True
    print("check_generated: %d generators, %s" % (len(GENERATORS), "differences found" if failed else "all equal"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
