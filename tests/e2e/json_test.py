#!/usr/bin/python3
"""JSON output (-j): one session of every command through tarnctl-sim, every
line of standard output a document that the published schema accepts, one
document per command, and the facts the same as the text mode of the same
session shows.

The test bench's example script runs against tarnctl-sim too: it passes on
a box that keeps what it is told, and fails with its message when the box
holds another VLAN than the one it set.

usage: json_test.py <tarnctl-sim> <json-schema.json> <bench_check.py> [test names]
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import jsonschema

SIM = sys.argv.pop(1) if len(sys.argv) > 1 else None
SCHEMA = sys.argv.pop(1) if len(sys.argv) > 1 else None
BENCH = sys.argv.pop(1) if len(sys.argv) > 1 else None
CODE = "kvrl.Pembrix-Ubo42"

# Every command word of the console, each with the arguments a bench would
# give it; the commands that fail on purpose close the session.
SESSION = """\
ping
version
date
blversion
blstring
sreg 0x11=0x3f
sreg 0x11
mreg 0x1800=0x0208
mreg 0x1800
power on
wup
wup on
reset now
cbus
cbus 1=H
cbus 1
eep write 0x10 1 2 3
eep read 0x10 3
eep clear 0x10 3
e2p read 0x10 2
echo bench
cfg write
cfg read
mac
hdlc 0x60 0x80
raw 0x60 0x80
sniff 3 rx
sniff 3
mib 2
mib
tab smac 4 1 2 3 4 5 6 7 0
tab smac 4
tab mib 25-26
pvlan 4 1001
pvlan
pvlan 4
smac 5 0x0A yes no yes 1001 80:01:02:03:04:05
smac 5
vlan 100 1 y 0011
vlan 100-101
help
can
can calc 83333
can speed 250000
can mode listen
can mode
can dump on
can dump off
can reset
can reinit
can log off
can bridge
test mdio
sreg 0xzz
frobnicate
"""
COMMANDS = [line.split()[0] for line in SESSION.splitlines()]
FAILING = {"sreg 0xzz", "frobnicate", "reset now"}


def run(args, stdin=None, env=None):
    return subprocess.run([SIM] + args, input=stdin, capture_output=True, text=True, timeout=120, env=env)


class Json(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(SCHEMA) as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)
        cls.dir = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def env(self, name):
        state = os.path.join(self.dir.name, name)
        os.makedirs(state, exist_ok=True)
        return dict(os.environ, TARNCTL_SIM_TIMING="fast", TARNCTL_SIM_STATE=state)

    def documents(self, stdout):
        """Every line of standard output as a document the schema accepts."""
        docs = []
        for line in stdout.splitlines():
            with self.subTest(line=line[:200]):
                doc = json.loads(line)
                errors = [e.message for e in self.validator.iter_errors(doc)]
                self.assertEqual(errors, [])
                docs.append(doc)
        return docs

    def test_every_command_has_its_document_and_the_text_mode_agrees(self):
        text = run(["-U", CODE, "-i"], SESSION, self.env("text"))
        js = run(["-U", CODE, "-i", "-j"], SESSION, self.env("json"))
        docs = [d for d in self.documents(js.stdout) if d["command"] not in ("trace", "debug")]

        # One document per command, in order; the exit status as in text mode.
        alias = {"e2p": "eep", "raw": "hdlc"}
        self.assertEqual([d["command"] for d in docs], [alias.get(c, c) for c in COMMANDS])
        self.assertEqual(js.returncode, text.returncode)
        self.assertEqual(js.returncode, 1)
        for line, doc in zip(SESSION.splitlines(), docs):
            with self.subTest(command=line):
                self.assertEqual(doc["ok"], line not in FAILING, doc.get("message"))
        by = {line: doc for line, doc in zip(SESSION.splitlines(), docs)}

        # A failure carries what the text mode says about it.
        self.assertIn("invalid register address 0xzz: not a number", by["sreg 0xzz"]["message"])
        self.assertIn("invalid register address 0xzz: not a number", text.stderr)
        self.assertIn("unknown command frobnicate", by["frobnicate"]["message"])

        # The same facts in both modes.
        out = text.stdout
        self.assertIn("Firmware %s\n" % by["version"]["firmware"], out)
        self.assertEqual(by["sreg 0x11"]["value"], 0x3F)
        self.assertIn("register (011): 3f\n", out)
        self.assertEqual(by["mreg 0x1800"]["value"], 0x0208)
        self.assertIn("register (00): 0208\n", out)
        self.assertEqual(by["eep read 0x10 3"]["bytes"], [1, 2, 3])
        self.assertIn("\n10: 01 02 03 \n", out)
        [vlan100] = [e for e in by["vlan 100-101"]["entries"] if e["vid"] == 100]
        self.assertEqual((vlan100["fid"], vlan100["valid"], vlan100["ports"]), (1, True, [1, 2]))
        self.assertIn("vid(0100) fid(001) valid(x) ports(0011)\n", out)
        [smac] = by["smac 5"]["entries"]
        m = re.search(r"\n# +5 fid\((\w\w)\) use_fid\((.)\) st_ovrd\((.)\) valid\((.)\) ports\((\d{4})\) MAC\(([0-9a-f:]+)\)\n", out)
        flag = {"x": True, "-": False}
        self.assertEqual((int(m[1], 16), flag[m[2]], flag[m[3]], flag[m[4]], int(m[5], 2), m[6]),
                         (smac["fid"], smac["use_fid"], smac["override"], smac["valid"], smac["port_mask"], smac["mac"]))
        self.assertEqual((smac["mac"], smac["ports"]), ("80:01:02:03:04:05", [1, 4]))
        self.assertEqual(by["pvlan 4"]["ports"], [{"port": 4, "members": [1, 4], "mask": 9}])
        self.assertEqual(by["sniff 3"]["mode_name"], "rx")
        calc = by["can calc 83333"]["calculation"]
        self.assertEqual((calc["ntq"], calc["brp"], calc["pr"], calc["ps1"]), (24, 3, 7, 8))
        self.assertEqual(by["can speed 250000"]["timing"]["cnf1"], 193)
        self.assertEqual(by["can mode"]["mode"], 0x60)
        self.assertEqual([c["passed"] for c in by["test mdio"]["cases"]], [True] * 6)
        # Every counter the text shows is in the document with its count.
        counted = {(int(m[1]), m[2]): int(m[3]) for m in re.finditer(r"MIB: P(\d) \(.\)\(.\) (\w+)\((\d+)\)", out)}
        self.assertTrue(counted)
        shown = {(p["port"], c["name"]): c["count"] for p in by["mib"]["ports"] for c in p["counters"]}
        for key in counted:
            self.assertIn(key, shown)

        # Messages for people stay off standard output.
        self.assertNotIn("# ", js.stdout)

    def test_command_line_documents_and_exit_status(self):
        env = self.env("cli")
        for args, ok, code in ((["-V"], True, 0), (["-p", "-V"], True, 0), (["-s", "0x11"], False, 1),
                               (["-U", CODE, "-m", "0x1800=0x0208", "-m", "0x1800"], True, 0)):
            with self.subTest(args=args):
                js = run(["-j"] + args, env=env)
                text = run(args, env=env)
                self.assertEqual(js.returncode, code)
                self.assertEqual(text.returncode, code)
                docs = self.documents(js.stdout)
                self.assertEqual(len(docs), sum(1 for a in args if a.startswith("-") and a != "-U"))
                self.assertEqual(all(d["ok"] for d in docs), ok)
        # -l, -h and --version end the run at once, as documents too, and
        # --json before or after them alike.
        for args, command in ((["-l", "--json"], "list"), (["--json", "-h"], "help"), (["-j", "--version"], "--version")):
            with self.subTest(args=args):
                js = run(args, env=env)
                self.assertEqual(js.returncode, 0)
                [doc] = self.documents(js.stdout)
                self.assertEqual(doc["command"], command)
        [doc] = self.documents(run(["-j", "-l"], env=env).stdout)
        self.assertEqual([b["serial"] for b in doc["boxes"]], ["CV000001"])
        # --pretty: the same document, indented.
        pretty = run(["-j", "--pretty", "-V"], env=env)
        self.assertEqual(pretty.returncode, 0)
        doc = json.loads(pretty.stdout)
        self.assertEqual(self.validator.is_valid(doc), True)
        self.assertIn('\n  "firmware": ', pretty.stdout)

    def test_trace_records_are_documents(self):
        env = dict(self.env("trace"), TARNCTL_SIM_FAULTS="trace-ms=2")
        proc = subprocess.Popen([SIM, "-U", CODE, "-i", "-j"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        proc.stdin.write("can dump on\n")
        proc.stdin.flush()
        # Wait for records of every kind the box sends, then stop the trace.
        lines, kinds = [], set()
        while not {"frame", "can_error"} <= kinds:
            line = proc.stdout.readline()
            self.assertTrue(line, "the console ended before the box sent its records")
            lines.append(line)
            doc = json.loads(line)
            if doc["command"] == "trace":
                kinds.add(doc["kind"])
        out, _ = proc.communicate("can dump off\nexit\n", timeout=60)
        self.assertEqual(proc.returncode, 0)
        docs = self.documents("".join(lines) + out)
        self.assertEqual([d["command"] for d in docs if d["command"] != "trace"], ["can", "can"])
        for r in docs:
            if r["command"] == "trace" and r["kind"] == "frame":
                self.assertEqual(len(r["data"]), min(r["dlc"], 8))
                self.assertLess(r["id"], 1 << 29 if r["extended"] else 1 << 11)


class BenchCheck(unittest.TestCase):
    def run_bench(self, faults=None, *args):
        with tempfile.TemporaryDirectory() as state:
            env = dict(os.environ, TARNCTL_SIM_TIMING="fast", TARNCTL_SIM_STATE=state, TARNCTL_CODE=CODE)
            env.pop("TARNCTL_SIM_FAULTS", None)
            if faults:
                env["TARNCTL_SIM_FAULTS"] = faults
            return subprocess.run([sys.executable, BENCH, "--tarnctl", SIM] + list(args), capture_output=True,
                                  text=True, timeout=300, env=env)

    def test_passes_on_a_box_that_keeps_what_it_is_told(self):
        firmware = json.loads(run(["-j", "-V"], env=dict(os.environ, TARNCTL_SIM_TIMING="fast")).stdout)["firmware"]
        bench = self.run_bench(None, "--firmware", firmware, "--vlan", "0x123")
        self.assertEqual(bench.returncode, 0, bench.stderr)
        self.assertIn("VLAN 291: fid 1 ports [1, 2]\n", bench.stdout)
        self.assertEqual(bench.stdout.count(" counters, total "), 4)

    def test_fails_with_its_message_when_the_box_holds_another_vlan(self):
        bench = self.run_bench("vlan-lost-writes=1")
        self.assertEqual(bench.returncode, 1)
        self.assertIn("MISMATCH: VLAN 100: box holds", bench.stderr)
        self.assertNotIn("all as expected", bench.stdout)

    def test_fails_on_another_firmware(self):
        bench = self.run_bench(None, "--firmware", "0.0.0.1")
        self.assertEqual(bench.returncode, 1)
        self.assertIn("MISMATCH: firmware", bench.stderr)


if __name__ == "__main__":
    unittest.main()
