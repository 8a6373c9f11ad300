#!/usr/bin/python3
"""JSON output (-j): one session of every command through tarnctl-sim, every
line of standard output a document that the published schema accepts, one
document per command, and the facts the same as the text mode of the same
session shows.

usage: json_test.py <tarnctl-sim> <json-schema.json>
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
test mdio
sreg 0xzz
frobnicate
"""
COMMANDS = [line.split()[0] for line in SESSION.splitlines()]
FAILING = {"sreg 0xzz", "frobnicate"}


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
        self.assertEqual([d["command"] for d in docs], [c if c != "e2p" else "eep" for c in COMMANDS])
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
        self.assertRegex(out, r"\n10: \.\. .*01 02 03 \n")
        [vlan100] = [e for e in by["vlan 100-101"]["entries"] if e["vid"] == 100]
        self.assertEqual((vlan100["fid"], vlan100["valid"], vlan100["ports"]), (1, True, [1, 2]))
        self.assertIn("vid(0100) fid(001) valid(x) ports(0011)\n", out)
        [smac] = by["smac 5"]["entries"]
        self.assertEqual(smac["mac"], "80:01:02:03:04:05")
        self.assertIn(" 5 fid(0A) use_fid(x) st_ovrd(-) valid(x) ports(1001) MAC(80:01:02:03:04:05)\n", out)
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
        js = run(["-U", CODE, "-i", "-j"], "can dump on\nping\nping\nping\nping\nping\ncan dump off\n", env)
        self.assertEqual(js.returncode, 0, js.stderr)
        records = [d for d in self.documents(js.stdout) if d["command"] == "trace"]
        self.assertTrue(records)
        for r in records:
            if r["kind"] == "frame":
                self.assertEqual(len(r["data"]), min(r["dlc"], 8) if r["dlc"] <= 8 else len(r["data"]))


if __name__ == "__main__":
    unittest.main()
