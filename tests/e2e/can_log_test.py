#!/usr/bin/python3
"""CAN log of the console read back with python-can's reader of the candump
log format: every trace record printed on the screen is in the log, in order,
with its identifier, frame kind and data, or as an error frame.

usage: can_log_test.py <tarnctl-sim>
"""
import os
import re
import selectors
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import can

SIM = sys.argv.pop(1) if len(sys.argv) > 1 else None
CODE = "kvrl.Pembrix-Ubo42"

FRAME = re.compile(r"^(\d{7,}) ([0-9A-F]+) (\d{2}) ([0-9A-F]*)$")
MSG_ERROR = re.compile(r"^(\d{7,}) ERROR 0 Message Error$")
CAN_ERROR = re.compile(r"^(\d{7,}) ERROR 0 CAN Error: (\d+)$")


def screen_records(out):
    """The trace records on the screen: ('frame', id, data) or ('error', kind, number)."""
    records = []
    for line in out.splitlines():
        line = line.removeprefix("# ")
        if m := FRAME.match(line):
            records.append(("frame", int(m[2], 16), bytes.fromhex(m[4])[:8]))
        elif MSG_ERROR.match(line):
            records.append(("error", 1, None))
        elif m := CAN_ERROR.match(line):
            records.append(("error", 2, int(m[2])))
    return records


ALL_KINDS = {("frame", False), ("frame", True), ("error", 1), ("error", 2)}


def kinds_on(out):
    """The kinds of trace record on the screen: standard or extended frames, and both errors."""
    kinds = set()
    for line in out.splitlines():
        line = line.removeprefix("# ")
        if m := FRAME.match(line):
            kinds.add(("frame", len(m[2]) > 3))
        elif MSG_ERROR.match(line):
            kinds.add(("error", 1))
        elif CAN_ERROR.match(line):
            kinds.add(("error", 2))
    return kinds


def read_until(p, out, done, limit=60.0):
    """Reads p's standard output into out (a list of chunks) until done(text so far)
    holds or the output ends; the limit only stops a hang."""
    sel = selectors.DefaultSelector()
    sel.register(p.stdout, selectors.EVENT_READ)
    end = time.monotonic() + limit
    fd = p.stdout.fileno()
    while not done("".join(out)) and time.monotonic() < end:
        if not sel.select(timeout=0.1):
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        out.append(chunk.decode())
    sel.close()
    return done("".join(out))


def finish(p, out, last_input=None, timeout=30):
    """The rest of p's output, once it has had its last input and ended."""
    rest, err = p.communicate(last_input, timeout=timeout)
    out.append(rest.decode())
    return "".join(out), err.decode()


class CanLog(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "trace.v1.log")
        self.env = dict(os.environ, TARNCTL_SIM_TIMING="fast", TARNCTL_SIM_STATE=self.dir.name,
                        TARNCTL_SIM_FAULTS="trace-ms=2")

    def tearDown(self):
        self.dir.cleanup()

    def check(self, records, lines, messages, iface, since, until):
        self.assertEqual(len(records), len(messages))
        self.assertEqual(len(lines), len(messages))
        kinds = set()
        last = since
        for rec, line, msg in zip(records, lines, messages):
            with self.subTest(line=line):
                self.assertEqual(line.split()[1], iface)
                self.assertGreaterEqual(msg.timestamp, last)
                self.assertLessEqual(msg.timestamp, until)
                last = msg.timestamp
                if rec[0] == "frame":
                    self.assertFalse(msg.is_error_frame)
                    self.assertEqual(msg.channel, iface)
                    # The screen shows the low 18 bits of an extended identifier.
                    ext = msg.is_extended_id
                    self.assertEqual(len(line.split()[2].split("#")[0]), 8 if ext else 3)
                    self.assertEqual(msg.arbitration_id & (0x3FFFF if ext else 0x7FF), rec[1])
                    self.assertEqual(bytes(msg.data), rec[2])
                    self.assertEqual(msg.dlc, len(rec[2]))
                    kinds.add("extended" if ext else "standard")
                else:
                    self.assertTrue(msg.is_error_frame)
                    ident, data = line.split()[2].split("#")
                    # Error flag, bus error and the class: protocol for a
                    # message error, controller for a CAN error, whose number
                    # is in data byte 5.
                    self.assertEqual(ident, "20000088" if rec[1] == 1 else "20000084")
                    self.assertEqual(len(data), 16)
                    self.assertEqual(bytes.fromhex(data)[5], 0 if rec[1] == 1 else rec[2])
                    kinds.add("error %d" % rec[1])
        self.assertEqual(kinds, {"standard", "extended", "error 1", "error 2"})

    def read_log(self):
        with open(self.log) as f:
            lines = [l for l in f.read().splitlines() if l]
        with can.CanutilsLogReader(self.log) as reader:
            messages = list(reader)
        return lines, messages

    def test_interactive_log_on_and_off(self):
        # Each step waits for what it needs on the screen: a record of every
        # kind while logging, then more records after the log is off.
        since = time.time()
        p = subprocess.Popen([SIM, "-U", CODE, "-i"], env=self.env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = []
        try:
            p.stdin.write(b"can log %s\ncan dump on\n" % self.log.encode())
            p.stdin.flush()
            self.assertTrue(read_until(p, out, lambda s: kinds_on(s) >= ALL_KINDS), "".join(out))
            p.stdin.write(b"can dump off\ncan log off\ncan dump on\n")
            p.stdin.flush()
            self.assertTrue(read_until(p, out, lambda s: "log off\n" in s and
                                       screen_records(s[s.index("log off\n"):])), "".join(out))
            stdout, stderr = finish(p, out, b"can dump off\nexit\n")
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        until = time.time()
        self.assertEqual(p.returncode, 0, stderr)
        self.assertIn("log %s tarn0\n" % self.log, stdout)
        self.assertIn("log off\n", stdout)
        # What came after "log off" is on the screen only.
        logged = stdout[:stdout.index("log off\n")]
        lines, messages = self.read_log()
        self.check(screen_records(logged), lines, messages, "tarn0", since, until)
        self.assertLess(len(messages), len(screen_records(stdout)))

    def test_command_line_log_appends_and_survives_the_end_from_outside(self):
        with open(self.log, "w") as f:
            f.write("(1.000000) can0 001#00\n")
        since = time.time()
        p = subprocess.Popen([SIM, "-U", CODE, "-X", "log %s can1" % self.log, "-X", "dump on", "-N"],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        chunks = []
        try:
            # Ended from outside once a record of every kind is on the screen.
            self.assertTrue(read_until(p, chunks, lambda s: kinds_on(s) >= ALL_KINDS), "".join(chunks))
            p.send_signal(signal.SIGTERM)
            out, err = finish(p, chunks)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        until = time.time()
        self.assertEqual(p.returncode, -signal.SIGTERM, err)
        lines, messages = self.read_log()
        self.assertEqual(lines[0], "(1.000000) can0 001#00")
        self.check(screen_records(out), lines[1:], messages[1:], "can1", since, until)

    def test_refusals(self):
        r = subprocess.run([SIM, "-U", CODE, "-i"], input="can log\ncan log /nonexistent/dir/x.log\n"
                           "can log %s bad#name\ncan log %s can1 more\ncan log \"%s\nexit\n" %
                           (self.log, self.log, self.log), env=self.env, capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "can log: file name or off required\n"
                         "can log: /nonexistent/dir/x.log: No such file or directory\n"
                         "can log: invalid interface name bad#name\n"
                         "can log: unexpected word more (a file name with blanks needs quotes)\n"
                         "can log: a quote is not closed\n")
        self.assertFalse(os.path.exists(self.log))

    def test_quoted_file_name_with_blanks(self):
        name = os.path.join(self.dir.name, "my trace.log")
        r = subprocess.run([SIM, "-U", CODE, "-X", 'log "%s" can1' % name, "-X", "log off"], env=self.env,
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, 'log "%s" can1\nlog off\n' % name)
        self.assertTrue(os.path.isfile(name))


if __name__ == "__main__":
    unittest.main()
