#!/usr/bin/env python3
"""A test bench's check of a Corvane box, through the console's JSON output.

Lists the boxes, checks the firmware version, sets a VLAN and port
mirroring, reads both back and compares them with what was set, and reads
the MIB counters of every port. Exits with 1 and a line naming the mismatch
when anything differs from what the bench expects, with 2 when the console
cannot be run or the box cannot be reached.

usage: bench_check.py [--tarnctl PATH] [--serial SN] [--firmware A.B.C.D]
                      [--vlan VID] [--code CODE]

The access code comes from --code or the environment (TARNCTL_CODE).
Uses nothing but subprocess and json.
"""
import json
import os
import subprocess
import sys


class Mismatch(Exception):
    pass


class Unreachable(Exception):
    pass


def options(argv):
    opts = {"tarnctl": "tarnctl", "serial": None, "firmware": None, "vlan": "100",
            "code": os.environ.get("TARNCTL_CODE")}
    args = list(argv)
    while args:
        name = args.pop(0)
        if not name.startswith("--") or name[2:] not in opts or not args:
            sys.exit(__doc__.strip())
        opts[name[2:]] = args.pop(0)
    if opts["code"] is None:
        sys.exit("bench_check: the access code is needed (--code or TARNCTL_CODE)")
    return opts


def console(opts, args, commands=None):
    """Runs the console with -j; returns its documents, one per command."""
    cmd = [opts["tarnctl"], "-j"] + args
    try:
        run = subprocess.run(cmd, input=commands, capture_output=True, text=True, timeout=600)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Unreachable("cannot run %s: %s" % (opts["tarnctl"], e))
    docs = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    if not docs:
        raise Unreachable("no result from %s: %s" % (" ".join(cmd), run.stderr.strip()))
    return docs


def expect_ok(doc):
    if not doc["ok"]:
        raise Unreachable("%s failed: %s" % (doc["command"], doc.get("message", "")))
    return doc


def check(opts):
    [listing] = console(opts, ["-l"])
    serials = [b["serial"] for b in listing["boxes"] if b["serial"]]
    if not serials:
        raise Unreachable("no Corvane attached")
    serial = opts["serial"] or serials[0]
    if serial not in serials:
        raise Unreachable("box %s not attached (attached: %s)" % (serial, ", ".join(serials)))
    print("box %s" % serial)

    vid = int(opts["vlan"], 0)
    session = "\n".join([
        "version",
        # VLAN <vid> in FID 1 with ports 1 and 2; port 3's received frames
        # copied to port 4.
        "vlan %d 1 yes 0011" % vid,
        "sniff 4 mirror",
        "sniff 3 rx",
        "vlan %d" % vid,
        "sniff 4",
        "sniff 3",
        "mib",
        "exit",
    ]) + "\n"
    docs = console(opts, ["-D", serial, "-U", opts["code"], "-i"], session)
    docs = [d for d in docs if d["command"] not in ("trace", "debug")]
    if len(docs) != 8:
        raise Unreachable("expected 8 results, got %d: %s" % (len(docs), [d["command"] for d in docs]))
    version, set_vlan, set_mirror, set_rx, vlan, mirror, rx, mib = map(expect_ok, docs)

    firmware = version["firmware"]
    print("firmware %s" % firmware)
    if opts["firmware"] is not None and firmware != opts["firmware"]:
        raise Mismatch("firmware %s, expected %s" % (firmware, opts["firmware"]))

    for doc in (set_vlan, set_mirror, set_rx):
        if not doc.get("confirmed"):
            raise Mismatch("%s not confirmed by the box" % doc["command"])

    [held] = vlan["entries"]
    want = {"vid": vid, "fid": 1, "valid": True, "ports": [1, 2]}
    got = {k: held[k] for k in want}
    if got != want:
        raise Mismatch("VLAN %d: box holds %s, set %s" % (vid, got, want))
    print("VLAN %d: fid %d ports %s" % (vid, held["fid"], held["ports"]))

    for doc, port, mode in ((mirror, 4, "mirror"), (rx, 3, "rx")):
        if doc["port"] != port or doc["mode_name"] != mode:
            raise Mismatch("port %d sniff mode %s, set %s" % (port, doc["mode_name"], mode))
    print("mirroring: port 3 rx to port 4")

    ports = {p["port"]: p["counters"] for p in mib["ports"]}
    if sorted(ports) != [1, 2, 3, 4]:
        raise Mismatch("MIB counters of ports %s, expected 1 to 4" % sorted(ports))
    for port, counters in sorted(ports.items()):
        invalid = [c["name"] for c in counters if not c["valid"]]
        if invalid:
            raise Mismatch("port %d: invalid counters %s" % (port, ", ".join(invalid)))
        total = sum(c["count"] for c in counters)
        print("port %d: %d counters, total %d" % (port, len(counters), total))


def main(argv):
    opts = options(argv)
    try:
        check(opts)
    except Mismatch as e:
        print("bench_check: MISMATCH: %s" % e, file=sys.stderr)
        return 1
    except Unreachable as e:
        print("bench_check: %s" % e, file=sys.stderr)
        return 2
    print("bench_check: all as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
