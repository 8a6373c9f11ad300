#!/usr/bin/python3
"""The interactive console on a real terminal (a tmux pane on a server of the
test's own): editing keys, history within a run and across runs, tab
completion, and trace records from the box arriving while a line is typed.

usage: terminal_test.py <tarnctl-sim>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SIM = sys.argv.pop(1) if len(sys.argv) > 1 else None
CODE = "kvrl.Pembrix-Ubo42"


class Terminal(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.socket = os.path.join(self.dir.name, "tmux")
        self.env = {"TARNCTL_SIM_TIMING": "fast", "TARNCTL_SIM_STATE": self.dir.name,
                    "XDG_STATE_HOME": os.path.join(self.dir.name, "state"), "TARNCTL_SIM_FAULTS": "trace-ms=50"}

    def tearDown(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True)
        self.dir.cleanup()

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], capture_output=True, text=True, check=True).stdout

    def start(self, *options):
        env = " ".join("%s=%s" % kv for kv in self.env.items())
        # The console's end is seen as the word "ended" in the pane. The
        # shell outlives a Ctrl-C that ends the console (the console itself
        # gets the signal's usual disposition).
        self.tmux("new-session", "-d", "-x", "120", "-y", "40",
                  "trap : INT; env %s %s -U %s -i %s; echo ended $?; sleep 60" % (env, SIM, CODE, " ".join(options)))
        self.wait_for(lambda s: s.endswith("#"), "prompt")

    def keys(self, *keys):
        self.tmux("send-keys", *keys)

    def screen(self):
        """The pane's lines, the scrolled-off ones too, trailing blanks cut."""
        lines = self.tmux("capture-pane", "-p", "-S", "-1000").rstrip("\n").split("\n")
        while lines and not lines[-1].strip():
            lines.pop()
        return [l.rstrip() for l in lines]

    def wait_for(self, check, what, limit=20.0):
        until = time.monotonic() + limit
        while True:
            text = "\n".join(self.screen())
            if check(text):
                return text
            if time.monotonic() > until:
                self.fail("waited in vain for %s; screen:\n%s" % (what, text))
            time.sleep(0.05)

    def last_line(self):
        return self.screen()[-1]

    def test_editing_history_completion_and_output_above_the_line(self):
        self.start()
        # Cursor left twice, a letter rubbed out and another typed in its place.
        self.keys("cbux 2=L", "Left", "Left", "Left", "Left", "BSpace", "s", "Enter")
        self.keys("cbus 2", "Enter")
        self.wait_for(lambda s: "cbus2(L)" in s, "the edited command's effect")
        # Arrow up twice recalls the edited line as it was run.
        self.keys("Up", "Up")
        self.wait_for(lambda s: s.endswith("# cbus 2=L"), "the recalled line")
        self.keys("C-u")
        # Tab completes a command word, and a fixed sub-word.
        self.keys("blv", "Tab")
        self.wait_for(lambda s: s.endswith("# blversion"), "the completed word")
        self.keys("Enter")
        self.wait_for(lambda s: "Bootloader" in s, "the bootloader version")
        self.keys("can du", "Tab")
        self.wait_for(lambda s: s.endswith("# can dump"), "the completed sub-word")
        self.keys("on", "Enter")
        self.wait_for(lambda s: "# can dump on\ndump on" in s, "the trace on")

        # Trace records arrive while a line is half typed: they go above it,
        # and the line stays whole, on screen and in the editor.
        self.keys("cbus 1=")
        records = lambda s: sum(1 for l in s.split("\n") if l.endswith(" 02 DEAD") or " ERROR 0 " in l)
        before = records("\n".join(self.screen()))
        self.wait_for(lambda s: records(s) >= before + 3 and s.endswith("# cbus 1="), "records above the line")
        for line in self.screen():
            if "ERROR 0" in line or "DEAD" in line:
                self.assertNotIn("cbus", line)
        self.keys("L", "Enter", "can dump off", "Enter", "cbus 1", "Enter")
        text = self.wait_for(lambda s: "cbus1(L)" in s, "the line typed around the records")
        self.assertIn("dump off", text)

        # A line longer than 511 bytes is refused as on the plain input.
        self.keys("echo " + "x" * 520, "Enter")
        self.wait_for(lambda s: "line too long (at most 511 characters)" in s, "the refusal")
        self.keys("exit", "Enter")
        # The refused line fails the session.
        self.wait_for(lambda s: "ended 1" in s, "the end")

        # History survives a restart, in its file under XDG_STATE_HOME.
        history = os.path.join(self.env["XDG_STATE_HOME"], "tarnctl", "history")
        self.assertTrue(os.path.isfile(history))
        self.tmux("kill-server")
        # A server of its own for the second run: the first one's socket may
        # still be going away.
        self.socket = os.path.join(self.dir.name, "tmux2")
        self.start()
        self.keys("Up", "Up")
        self.wait_for(lambda s: s.endswith("# cbus 1"), "the last run's line")
        self.keys("C-u", "C-d")
        self.wait_for(lambda s: "ended 0" in s, "the end on ^D")

    def test_console_messages_above_the_line(self):
        # The converter goes while a line is half typed: the console's own
        # message goes above the prompt, and the line stays whole below it.
        self.env["TARNCTL_SIM_FAULTS"] = "unplug-after-ms=2500"
        self.start()
        self.keys("versi")
        text = self.wait_for(lambda s: "Corvane lost" in s and s.endswith("# versi"), "the message above the line")
        lines = text.split("\n")
        self.assertTrue(lines[-2].startswith("Corvane lost"), text)
        self.assertNotIn("versiCorvane", text)
        self.keys("on", "Enter")
        self.wait_for(lambda s: "ended 1" in s, "the end without the box")

    def test_ctrl_c_at_the_prompt_and_during_a_listing(self):
        # Slow answers: the full VLAN listing would take half a minute.
        self.env["TARNCTL_SIM_FAULTS"] = "delay-acks=100000,delay-ms=20"
        self.start()
        # On an empty line after a command: a fresh prompt, and nothing of
        # the command before runs again.
        self.keys("cbus 1", "Enter")
        self.wait_for(lambda s: "cbus1(H)" in s, "the pin")
        self.keys("C-c")
        text = self.wait_for(lambda s: "# ^C" in s and s.endswith("#"), "the fresh prompt")
        self.assertNotIn("unknown command", text)
        # A second Ctrl-C only when a second has passed ends the console.
        time.sleep(1.2)
        # The typed line is dropped, not run, and a fresh prompt comes.
        self.keys("cbus 1=L", "C-c")
        self.wait_for(lambda s: "# cbus 1=L^C" in s and s.endswith("#"), "the dropped line")
        self.keys("cbus 1", "Enter")
        self.wait_for(lambda s: s.count("cbus1(H)") == 2, "the pin as it was")
        # A listing stops at Ctrl-C with one line, and the prompt comes back.
        self.keys("vlan", "Enter")
        self.wait_for(lambda s: "vid(0005)" in s, "the listing under way")
        time.sleep(1.2)
        self.keys("C-c")
        text = self.wait_for(lambda s: "interrupted" in s and s.endswith("#"), "the listing stopped")
        self.assertNotIn("vid(4095)", text)
        self.assertEqual(text.count("interrupted"), 1, text)
        # The request on the wire was answered before the stop: the next
        # command gets its own answer, not a late one.
        self.keys("blversion", "Enter")
        self.wait_for(lambda s: "Bootloader" in s and s.endswith("#"), "the next command's answer")
        self.assertNotIn("timed out", "\n".join(self.screen()))
        # Twice within a second ends the session (the stopped listing failed).
        self.keys("C-c", "C-c")
        self.wait_for(lambda s: "ended 1" in s, "the end on a second Ctrl-C")

    def test_ctrl_c_stops_a_listing_in_json_mode(self):
        # The stopped command still has its one document, which says it failed.
        self.env["TARNCTL_SIM_FAULTS"] = "delay-acks=100000,delay-ms=20"
        self.start("-j")
        self.keys("tab vlan", "Enter")
        # Nothing shows while a document is filled; the listing takes 20 s.
        time.sleep(1.2)
        self.keys("C-c")
        text = self.wait_for(lambda s: s.endswith("#") and '"command":"tab"' in s, "the document")
        self.assertEqual(text.count('"command":"tab","ok":false,"message":"interrupted"'), 1, text)

    def test_ctrl_c_during_a_write_ends_the_console(self):
        # A write of several requests is never stopped half-way: Ctrl-C ends
        # the console as the signal always did (130: ended by SIGINT).
        self.env["TARNCTL_SIM_FAULTS"] = "delay-acks=100000,delay-ms=400"
        self.start()
        self.keys("eep write 0x100 " + "7 " * 240, "Enter")
        self.wait_for(lambda s: "eep write to 0x100 57 bytes" in s, "the first request")
        self.keys("C-c")
        text = self.wait_for(lambda s: "ended 130" in s, "the end by the signal")
        self.assertNotIn("interrupted", text)

if __name__ == "__main__":
    if shutil.which("tmux") is None:
        print("tmux missing")
        sys.exit(1)
    unittest.main()
