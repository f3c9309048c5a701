"""Checks of tests/camera-vm/vm-run, the virtual-machine runner the camera checks depend on:
first what it prepares on this machine (the command file's quoting, the shared folders, its
options), then three short machines (status, output and folders passed through; a setup
failure; a timeout). Run by tests/camera-vm/run.sh before the camera checks."""

import contextlib
import importlib.machinery
import io
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
RUNNER = os.path.join(HERE, "vm-run")
sys.dont_write_bytecode = True  # the runner has no .py name; keep the source folder clean
_loader = importlib.machinery.SourceFileLoader("vm_run", RUNNER)
vm_run = importlib.util.module_from_spec(importlib.util.spec_from_loader("vm_run", _loader))
_loader.exec_module(vm_run)

ODD_VALUES = {
    "VMRUN_QUOTES": "it's \"quoted\" and 'single'",
    "VMRUN_SHELL": "$HOME `id` $(id) ; exit 3 \\",
    "VMRUN_LINES": "one\ntwo\n",
    "VMRUN_EMPTY": "",
    "VMRUN_DASH": "-i",
    "VMRUN_UTF8": "キャプチャ",
}
SHOW = "import json, os, sys; print(json.dumps([dict(os.environ), os.getcwd(), sys.argv[1:]]))"


class InFolder:
    def __init__(self, path):
        self.path = path

    def __enter__(self):
        self.old = os.getcwd()
        os.chdir(self.path)

    def __exit__(self, *exc):
        os.chdir(self.old)


class CommandFile(unittest.TestCase):
    def test_environment_folder_and_arguments_arrive_unchanged(self):
        args = ["two words", "it's", "$HOME", "-c", "a=b", ""]
        old = dict(os.environ)
        os.environ.update(ODD_VALUES)
        try:
            with tempfile.TemporaryDirectory() as run, tempfile.TemporaryDirectory() as work:
                with InFolder(work):
                    vm_run.write_run_folder(run, {"vivid": "", "udev": False}, [sys.executable, "-c", SHOW] + args,
                                            ["/tmp"], None)
                    want_env, want_cwd = dict(os.environ), os.getcwd()
                out = subprocess.run(["sh", os.path.join(run, "command")], capture_output=True, check=True, cwd="/")
        finally:
            os.environ.clear()
            os.environ.update(old)
        env, cwd, argv = json.loads(out.stdout)
        self.assertEqual(want_env, env)
        self.assertEqual(want_cwd, cwd)
        self.assertEqual(args, argv)


class Shares(unittest.TestCase):
    def test_each_folder_once_and_not_inside_another(self):
        with tempfile.TemporaryDirectory() as tmp, tempfile.TemporaryDirectory(dir="/var/tmp") as outside:
            inner = os.path.join(outside, "build")
            sibling = outside + "-b"  # shares a prefix with `outside` but is not inside it
            os.mkdir(inner)
            os.mkdir(sibling)
            self.addCleanup(os.rmdir, sibling)
            cases = [
                # (current folder, --share folders, shared besides /tmp)
                (tmp, [], []),
                (outside, [inner, outside, tmp, sibling], [outside, sibling]),
                (inner, [outside], [inner, outside]),
                ("/var", [inner + "/../build"], ["/var"]),
            ]
            for cwd, extra, want in cases:
                with self.subTest(cwd=cwd, extra=extra), InFolder(cwd):
                    self.assertEqual(["/tmp"] + want, vm_run.shares_for(extra))
            for cwd, extra in [("/", []), (tmp, [os.path.join(tmp, "missing")])]:
                with self.subTest(refused=(cwd, extra)), InFolder(cwd):
                    said = io.StringIO()
                    with self.assertRaises(SystemExit) as e, contextlib.redirect_stderr(said):
                        vm_run.shares_for(extra)
                    self.assertEqual(vm_run.FAILED, e.exception.code)
                    self.assertIn("cannot share", said.getvalue())


class Options(unittest.TestCase):
    def test_command_starts_at_the_first_word_that_is_not_an_option(self):
        cases = [
            (["--udev", "ls", "-l", "--udev"], ["ls", "-l", "--udev"], {"udev": True}),
            (["--timeout=5", "--", "--odd-name", "x"], ["--odd-name", "x"], {"timeout": 5.0}),
            (["--share", "a", "--share=b", "--vivid-opts", "n_devs=2 x=1", "true"], ["true"],
             {"shares": ["a", "b"], "vivid": "n_devs=2 x=1"}),
        ]
        for argv, command, want in cases:
            with self.subTest(argv=argv):
                opts, got = vm_run.parse_args(argv)
                self.assertEqual(command, got)
                for key, value in want.items():
                    self.assertEqual(value, opts[key])

    def test_bad_options_are_refused(self):
        for argv in [[], ["--udev"], ["--bogus", "true"], ["--timeout"], ["--timeout", "0", "true"],
                     ["--accel", "fast", "true"], ["--cpus", "two", "true"]]:
            said = io.StringIO()
            with self.subTest(argv=argv), self.assertRaises(SystemExit) as e, contextlib.redirect_stderr(said):
                vm_run.parse_args(argv)
            self.assertEqual(2, e.exception.code)
            self.assertTrue(said.getvalue().startswith("vm-run: "), said.getvalue())


def vm(*args, timeout=300):
    return subprocess.run([RUNNER] + list(args), capture_output=True, text=True, timeout=timeout)


class Machine(unittest.TestCase):
    def test_status_output_folders_and_driver_options_pass_through(self):
        with tempfile.TemporaryDirectory() as tmp:
            script = ("echo out; echo err >&2; pwd; ls /dev/video*; "
                      "echo inside >/etc/vm-run-probe && echo written >%s/from-vm; exit 7" % tmp)
            r = vm("--vivid-opts", "n_devs=2 node_types=0x1,0x1", "--", "sh", "-c", script)
            self.assertEqual(7, r.returncode, r.stderr)
            self.assertEqual(["out", os.getcwd(), "/dev/video0", "/dev/video1"], r.stdout.splitlines())
            self.assertEqual("err\n", r.stderr)
            with open(os.path.join(tmp, "from-vm")) as f:
                self.assertEqual("written\n", f.read())
        self.assertFalse(os.path.exists("/etc/vm-run-probe"), "a write outside the shares reached this machine")

    def test_driver_that_does_not_load_is_a_machine_failure(self):
        r = vm("--vivid-opts", "n_devs=abc", "--", "true")
        self.assertEqual(vm_run.FAILED, r.returncode)
        self.assertIn("modprobe vivid n_devs=abc failed", r.stderr)

    def test_timeout_stops_the_machine(self):
        r = vm("--timeout", "15", "--", "sleep", "600", timeout=120)
        self.assertEqual(vm_run.TIMED_OUT, r.returncode, r.stderr)
        self.assertIn("after 15 s (--timeout)", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
