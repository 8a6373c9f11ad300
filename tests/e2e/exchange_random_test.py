#!/usr/bin/env python3
"""Randomized exchange test: sessions of mixed register, EEPROM and VLAN
reads and writes through tarnctl-sim while the box delays or drops answers
by amounts around the time-outs. Every value the console shows must be one
the box really held at that point, and a read-back after the faults have
passed must show what the writes left there.

  exchange_random_test.py TARNCTL_SIM [SESSIONS] [SEED]

SESSIONS and SEED also come from TARNCTL_RANDOM_SESSIONS / TARNCTL_RANDOM_SEED;
TARNCTL_SIM_PERSONALITY (passed on to the simulator) picks the box's.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

CODE = "kvrl.Pembrix-Ubo42"
EEP = [0x300 + 8 * i for i in range(4)]
# Registers and VLANs with different values after boot, so that one shown
# for another is seen; the first of each list is only read.
SMI = [0x00, 0x22, 0x24]
SMI_BOOT = {0x00: 0x95, 0x22: 0x06, 0x24: 0x01}
MDIO = [(0x18, 0x03), (0x18, 0x10), (0x19, 0x10)]
VLANS = [1, 2, 5, 9]
NOT_ON_WIRE = (0x7D, 0x7E)  # values chosen so that frames need no stuffing


def byte(rng):
    while True:
        b = rng.randrange(256)
        if b not in NOT_ON_WIRE:
            return b


def plan_session(rng):
    """Faults and commands of one session, with what each command is."""
    # One or two kinds of exchange a session, so that late answers meet
    # requests of their own kind.
    kinds = rng.sample(["eep", "smi", "mdio", "vlan"], rng.randint(1, 2))
    kind = rng.choice(["delay-acks", "delay-acks", "drop-acks"])
    faults = f"{kind}={rng.randint(1, 4)}"
    if kind == "delay-acks":
        # Around the 1 s time-out of registers and EEPROM or the 3 s of
        # tables, up to twice that: a late answer then comes while the next
        # request still waits.
        ms = rng.randint(2500, 5500) if "vlan" in kinds else rng.randint(700, 1900)
        faults += f",delay-ms={ms}"
    else:
        ms = 0
    ops = []
    for n in range(rng.randint(10, 16)):
        what = rng.choice(kinds)
        # The first answers are the late ones: let them be reads.
        write = n >= 3 and rng.random() < 0.4
        if what == "eep":
            a = rng.choice(EEP)
            if write:
                v = tuple(byte(rng) for _ in range(3))
                ops.append(("w", ("eep", a), v, "eep write 0x%x %d %d %d" % (a, *v)))
            else:
                ops.append(("r", ("eep", a), None, "eep read 0x%x 3" % a))
        elif what == "smi":
            r = rng.choice(SMI)
            if write and r != SMI[0]:
                v = byte(rng)
                ops.append(("w", ("smi", r), v, "sreg 0x%x=0x%x" % (r, v)))
            else:
                ops.append(("r", ("smi", r), None, "sreg 0x%x" % r))
        elif what == "mdio":
            p, r = rng.choice(MDIO)
            if write and (p, r) != MDIO[0]:
                v = byte(rng) | byte(rng) << 8
                ops.append(("w", ("mdio", p, r), v, "mreg 0x%02x%02x=0x%x" % (p, r, v)))
            else:
                ops.append(("r", ("mdio", p, r), None, "mreg 0x%02x%02x" % (p, r)))
        else:
            vid = rng.choice(VLANS)
            if write:
                v = (rng.randint(0, 15), rng.choice("yn"), "".join(rng.choice("01") for _ in range(4)))
                ops.append(("w", ("vlan", vid), v, "vlan %d %d %s %s" % (vid, *v)))
            else:
                ops.append(("r", ("vlan", vid), None, "vlan %d" % vid))
    return faults, ms, ops


def shown(loc, text):
    """The value a command's output shows for loc, or None."""
    if loc[0] == "eep":
        m = re.search(r"^%x: ([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2})" % loc[1], text, re.M)
        return tuple(int(x, 16) for x in m.groups()) if m else None
    if loc[0] == "smi":
        m = re.search(r"register \(%03x\): ([0-9a-f]+)" % loc[1], text)
        return int(m.group(1), 16) if m else None
    if loc[0] == "mdio":
        m = re.search(r"register \(%02x\): ([0-9a-f]+)" % loc[2], text)
        return int(m.group(1), 16) if m else None
    m = re.search(r"vid\(%04d\) fid\((\d+)\) valid\((.)\) ports\(([01]{4})\)" % loc[1], text)
    if not m:
        return None
    return (int(m.group(1)), "y" if m.group(2) == "x" else "n", m.group(3))


def frame_hex(loc, v):
    """Content of the write request that stores v at loc (hex, unstuffed)."""
    if loc[0] == "eep":
        return "f008%02x%02x03%02x%02x%02x" % (loc[1] & 0xFF, loc[1] >> 8, *v)
    if loc[0] == "smi":
        return "f005%02x%02x" % (loc[1], v)
    if loc[0] == "mdio":
        return "f001%02x%02x%02x%02x" % (loc[1], loc[2], v & 0xFF, v >> 8)
    return None


# What the set-up run stores at each EEPROM place before the session.
EEP_SET = {a: (0x10 + i, 0x20 + i, 0x30 + i) for i, a in enumerate(EEP)}


def run_session(sim, state, index, faults, ms, ops):
    trace = os.path.join(state, "trace%d" % index)
    setup = "".join("eep write 0x%x %d %d %d\n" % (a, *v) for a, v in EEP_SET.items())
    subprocess.run([sim, "-U", CODE, "-i"], input=setup, capture_output=True, text=True, timeout=60,
                   env=dict(os.environ, TARNCTL_SIM_TIMING="fast", TARNCTL_SIM_STATE=state), check=True)
    env = dict(os.environ, TARNCTL_SIM_TIMING="fast", TARNCTL_SIM_STATE=state, TARNCTL_SIM_TRACE=trace,
               TARNCTL_SIM_FAULTS=faults)
    locs = sorted({op[1] for op in ops})
    readback = [("r", loc, None, read_cmd(loc)) for loc in locs]
    first = "".join(op[3] + "\\n" for op in ops)
    second = "".join(op[3] + "\\n" for op in readback) + "exit\\n"
    # The read-back comes after every late answer is due.
    pause = ms / 1000.0 + 0.5
    script = "{ printf '%s'; sleep %.2f; printf '%s'; } | \"$0\" -U %s -i" % (first, pause, second, CODE)
    p = subprocess.run(["/bin/sh", "-c", script, sim], env=env, capture_output=True, text=True, timeout=300)
    # One chunk of output per command, after its prompt.
    chunks = p.stdout.split("# ")[1:]
    wire = ""
    if os.path.exists(trace):
        for line in open(trace):
            f = line.split()
            if len(f) >= 4 and f[2] == "WIRE_TX":
                wire += f[3]
    return p, chunks, wire, ops + readback


def read_cmd(loc):
    if loc[0] == "eep":
        return "eep read 0x%x 3" % loc[1]
    if loc[0] == "smi":
        return "sreg 0x%x" % loc[1]
    if loc[0] == "mdio":
        return "mreg 0x%02x%02x" % (loc[1], loc[2])
    return "vlan %d" % loc[1]


def initial(loc):
    """What a freshly booted box with a fresh EEPROM holds, where known."""
    if loc[0] == "eep":
        return {EEP_SET[loc[1]]}
    if loc[0] == "smi":
        return {SMI_BOOT[loc[1]]}
    if loc[0] == "vlan":
        return {(0, "y", "1111")} if loc[1] == 1 else {(0, "n", "0000")}
    if loc == ("mdio", 0x18, 0x03):
        return {0x5CC2}
    return None  # other PHY registers: learnt from the first read


def check(index, faults, chunks, wire, ops):
    """Problems found in one session."""
    problems = []
    model = {}  # loc -> set of values the box may hold; None: not known yet
    at = 0
    for i, (kind, loc, v, cmd) in enumerate(ops):
        if loc not in model:
            model[loc] = initial(loc)
        text = chunks[i] if i < len(chunks) else ""
        if kind == "w":
            fh = frame_hex(loc, v)
            if fh is not None:
                k = wire.find("7e" + fh, at)
                while k >= 0 and k % 2:
                    k = wire.find("7e" + fh, k + 1)
                if k >= 0:
                    model[loc] = {v}  # the box received it, so it holds it
                    at = k
            elif model[loc] is not None:
                # A VLAN write reads and writes the entry; whether the write
                # went out the trace does not show simply: old or new.
                model[loc] = model[loc] | {v}
            got = shown(loc, text) if loc[0] == "vlan" else None
            if got is not None and got != v:
                problems.append("session %d (%s): '%s' shows %r" % (index, faults, cmd, got))
            continue
        got = shown(loc, text)
        if got is None:
            continue  # the read failed: nothing shown
        allowed = model[loc]
        if allowed is not None and got not in allowed:
            problems.append("session %d (%s): '%s' shows %r, the box holds one of %r" %
                            (index, faults, cmd, got, sorted(allowed)))
        model[loc] = {got}
    return problems


def main():
    sim = sys.argv[1]
    sessions = int(sys.argv[2] if len(sys.argv) > 2 else os.environ.get("TARNCTL_RANDOM_SESSIONS", "12"))
    seed = int(sys.argv[3] if len(sys.argv) > 3 else os.environ.get("TARNCTL_RANDOM_SEED", random.randrange(1 << 30)))
    print("seed %d, %d sessions, box personality '%s'" % (seed, sessions, os.environ.get("TARNCTL_SIM_PERSONALITY", "")),
          flush=True)
    rng = random.Random(seed)
    plans = [plan_session(rng) for _ in range(sessions)]
    problems = []
    # Sessions run three at a time (they mostly wait), each with its own box
    # and state.
    states = [tempfile.mkdtemp(prefix="tarnctl_random_") for _ in range(sessions)]
    try:
        with ThreadPoolExecutor(max_workers=3) as pool:
            results = list(pool.map(lambda i: run_session(sim, states[i], i, *plans[i]), range(sessions)))
        for i, (p, chunks, wire, ops) in enumerate(results):
            faults = plans[i][0]
            print("session %d: %s, %d commands, exit %d" % (i, faults, len(ops), p.returncode), flush=True)
            # A command that failed under the faults fails the session (1);
            # anything else is the console's own fault.
            if p.returncode not in (0, 1):
                problems.append("session %d (%s): exit %d: %s" % (i, faults, p.returncode, p.stderr[-500:]))
            problems += check(i, faults, chunks, wire, ops)
    finally:
        for s in states:
            shutil.rmtree(s, ignore_errors=True)
    for pr in problems:
        print(pr)
    print("%d problems (seed %d)" % (len(problems), seed))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
