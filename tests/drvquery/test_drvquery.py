"""Tests of tevu.codecs.drvquery against the driver interface stand-in.

Every scenario that reaches the driver runs in a fresh interpreter: the loader's state is per process and
the stand-in reads its steering variables when it is loaded.
"""

import json
import os
import sys
import tempfile
import unittest

from tevu.codecs import drvquery
from tevu_testsupport.processes import run

# A zero of each integer type of the interpreter (Python 2 has two).
ZEROS = [0] if sys.version_info[0] >= 3 else [0, long(0)]  # noqa: F821 - Python 2 only

SCENARIO_RUNNER = r"""
import json, sys
from tevu.log import capture
outcome = {}
with capture() as records:
    try:
        from tevu.codecs import drvquery
        scope = {"drvquery": drvquery}
        exec(sys.argv[1], scope)
        outcome["value"] = repr(scope["value"])
    except Exception as e:
        outcome["error"] = [type(e).__name__, str(e)]
outcome["records"] = [[r.level, r.message] for r in records]
sys.stdout.write(json.dumps(outcome))
"""

# Patches the host's program context so that the scenario sees how main() uses it.
RECORD_PLATFORM = """
import sys
import tevu.platform
calls = []
real_init, real_clean = tevu.platform.init, tevu.platform.clean
def init(prgname, appname):
    calls.append(["init", prgname, appname, drvquery.log.debug_enabled])
    real_init(prgname, appname)
def clean():
    calls.append(["clean", tevu.platform.get_prgname()])
    real_clean()
tevu.platform.init = init
tevu.platform.clean = clean
"""

VERSION = "value = drvquery.get_driver_version()"


class Outcome(object):
    def __init__(self, data, events):
        self.value = data.get("value")
        self.error = data.get("error")
        self.records = [tuple(r) for r in data["records"]]
        self.events = events

    def messages(self, level):
        return [message for record_level, message in self.records if record_level == level]

    def count(self, event):
        return self.events.count(event)


def run_child(arguments, environment):
    """Runs the interpreter with arguments under the stand-in, steered by environment's values only (None
    unsets one), its events written to a file; (exit status, stdout, stderr, events)."""
    handle, events_path = tempfile.mkstemp(prefix="drvquery-events-")
    os.close(handle)
    steering = dict.fromkeys(["NVAPI_EMU_VERSION", "NVAPI_EMU_BRANCH", "NVAPI_EMU_FAIL", "NVAPI_EMU_MISSING",
                              "NVAPI_EMU_HOLD"])
    steering["NVAPI_EMU_EVENTS"] = events_path
    steering.update(environment)
    try:
        rc, out, err = run([sys.executable] + arguments, steering)
        with open(events_path) as f:
            events = f.read().splitlines()
        return rc, out, err, events
    finally:
        os.remove(events_path)


def run_scenario(code, **environment):
    """Runs code (which sets `value`) in a fresh interpreter; None in environment unsets a variable."""
    rc, out, err, events = run_child(["-c", SCENARIO_RUNNER, code], environment)
    if rc != 0:
        raise AssertionError("scenario failed (%d): %s" % (rc, err))
    return Outcome(json.loads(out), events)


class ModuleTest(unittest.TestCase):
    def test_module_globals(self):
        self.assertEqual(drvquery.__name__, "tevu.codecs.drvquery")
        self.assertEqual(drvquery.log.categories, ("encoder", "nvenc"))
        self.assertIs(drvquery.sys, sys)
        self.assertIs(drvquery.os, os)
        for name in ("raiseNVAPI", "get_driver_version", "main"):
            self.assertTrue(callable(getattr(drvquery, name)), name)


class RaiseNVAPITest(unittest.TestCase):
    def test_success_returns_none(self):
        for args, kwargs in [((0, "x"), {}), ((), {"r": 0, "msg": "x"}), ((), {"msg": "x", "r": 0}),
                             ((0,), {"msg": "x"})] + [((zero, "x"), {}) for zero in ZEROS]:
            self.assertIsNone(drvquery.raiseNVAPI(*args, **kwargs), (args, kwargs))

    def test_failure_raises_exception_with_unsigned_status(self):
        for args, kwargs, text in [
                ((5, "x"), {}, "error 5 x"),
                ((), {"r": 5, "msg": "x"}, "error 5 x"),
                ((-1,), {"msg": "NvAPI_Initialize"}, "error 4294967295 NvAPI_Initialize"),
                ((-2147483648, "y"), {}, "error 2147483648 y"),
                ((4294967294, "z"), {}, "error 4294967294 z"),
                ((7, 42), {}, "error 7 42")]:
            with self.assertRaises(Exception) as caught:
                drvquery.raiseNVAPI(*args, **kwargs)
            self.assertIs(type(caught.exception), Exception)
            self.assertEqual(str(caught.exception), text)

    def test_bad_calls(self):
        for args, kwargs, error in [
                ((), {}, TypeError), ((1,), {}, TypeError), ((1, "a", 3), {}, TypeError),
                ((1,), {"r": 2}, TypeError), ((), {"r": 1}, TypeError),
                ((), {"r": 1, "msg": "a", "status": 3}, TypeError), ((1,), {"message": "a"}, TypeError),
                (("5", "x"), {}, TypeError), ((1.0, "x"), {}, TypeError),
                ((4294967296, "x"), {}, OverflowError), ((-2147483649, "x"), {}, OverflowError)]:
            self.assertRaises(error, drvquery.raiseNVAPI, *args, **kwargs)

    def test_message_formatted_as_python_formats_it(self):
        class Named(object):
            def __str__(self):
                return "named"

        # Byte and unicode names alike: the text is "error %s %s" % (unsigned status, msg), as this
        # interpreter formats it (b'\xe9' in Python 3).
        for status, shown, msg in [(7, 7, u"\xe9"), (7, 7, b"\xe9"), (7, 7, u"x"), (-1, 4294967295, u"NvAPI_\u20ac"),
                                   (3, 3, Named()), (3, 3, (1, 2)), (3, 3, None)]:
            expected = "error %s %s" % (shown, msg)
            with self.assertRaises(Exception) as caught:
                drvquery.raiseNVAPI(status, msg)
            self.assertIs(type(caught.exception), Exception)
            self.assertEqual(caught.exception.args, (expected,), repr(msg))
            self.assertIs(type(caught.exception.args[0]), type(expected), repr(msg))


class DriverVersionTest(unittest.TestCase):
    def test_answer_logs_and_lifecycle(self):
        outcome = run_scenario(VERSION)
        self.assertIsNone(outcome.error)
        self.assertEqual(outcome.value, "[361, 80, 'r361_00']")
        self.assertEqual(outcome.messages("debug"), ["DriverVersion: 36180", "Build Branch: r361_00"])
        for event in ("loaded", "call NvAPI_Initialize 0", "call NvAPI_Unload 0", "released"):
            self.assertEqual(outcome.count(event), 1, event)
        self.assertLess(outcome.events.index("call NvAPI_Unload 0"), outcome.events.index("released"))

    def test_version_arithmetic(self):
        # The split reads the 32-bit version as signed, with floor semantics.
        for version, branch, expected, logged in [
                ("100", "x", "[1, 0, 'x']", "100"),
                ("99", "", "[0, 99, '']", "99"),
                ("", "x", "[361, 80, 'x']", "36180"),  # empty: unset, the default version
                ("2147483647", "b", "[21474836, 47, 'b']", "2147483647"),
                ("2147483648", "b", "[-21474837, 52, 'b']", "2147483648"),
                ("4294967295", "b", "[-1, 99, 'b']", "4294967295"),
                # the branch buffer holds 63 characters and its terminator
                ("36180", "q" * 100, "[361, 80, '%s']" % ("q" * 63), "36180")]:
            outcome = run_scenario(VERSION, NVAPI_EMU_VERSION=version, NVAPI_EMU_BRANCH=branch)
            self.assertEqual(outcome.value, expected, version)
            self.assertIn("DriverVersion: " + logged, outcome.messages("debug"))

    def test_each_call_initialises_and_unloads(self):
        outcome = run_scenario("value = [drvquery.get_driver_version(), drvquery.get_driver_version()]")
        self.assertEqual(outcome.value, "[[361, 80, 'r361_00'], [361, 80, 'r361_00']]")
        self.assertEqual(outcome.count("loaded"), 2)
        self.assertEqual(outcome.count("released"), 2)

    def test_failures(self):
        version_call = "NvAPI_SYS_GetDriverAndBranchVersion"
        for environment, text, unloaded, logged in [
                ({"TEVU_NVAPI_SYSTEM_DIR": None}, "error 4294967294 NvAPI_Initialize", False, False),
                ({"TEVU_NVAPI_SYSTEM_DIR": tempfile.gettempdir() + "/no-such-dir"},
                 "error 4294967294 NvAPI_Initialize", False, False),
                ({"NVAPI_EMU_FAIL": "NvAPI_Initialize=-6"}, "error 4294967290 NvAPI_Initialize", False, False),
                ({"NVAPI_EMU_FAIL": version_call + "=-5"}, "error 4294967291 " + version_call, True, False),
                ({"NVAPI_EMU_MISSING": version_call}, "error 4294967293 " + version_call, True, False),
                # a failing unload drops the result
                ({"NVAPI_EMU_FAIL": "NvAPI_Unload=-7"}, "error 4294967295 NvAPI_Unload", False, True),
                ({"NVAPI_EMU_MISSING": "NvAPI_Unload"}, "error 4294967293 NvAPI_Unload", False, True),
                # when both fail, the unload's exception replaces the query's
                ({"NVAPI_EMU_FAIL": version_call + "=-5,NvAPI_Unload=-7"}, "error 4294967295 NvAPI_Unload",
                 False, False)]:
            outcome = run_scenario(VERSION, **environment)
            self.assertEqual(outcome.error, ["Exception", text], environment)
            self.assertEqual(outcome.count("call NvAPI_Unload 0"), 1 if unloaded else 0, environment)
            self.assertEqual(bool(outcome.messages("debug")), logged, environment)

    def test_no_unload_attempted_after_failed_initialisation(self):
        # With no library an unload would fail too (-4) and its exception would replace this one.
        outcome = run_scenario(VERSION, TEVU_NVAPI_SYSTEM_DIR=None)
        self.assertEqual(outcome.error, ["Exception", "error 4294967294 NvAPI_Initialize"])
        self.assertEqual(outcome.events, [])


# Scenario helpers: a line of our own in the events file, to mark when the calls were over.
MARK_EVENTS = """
import os
def mark_events(line):
    with open(os.environ["NVAPI_EMU_EVENTS"], "a") as f:
        f.write(line + "\\n")
"""

THREADED_CALLS = MARK_EVENTS + """
import sys, threading
if hasattr(sys, "setswitchinterval"):
    sys.setswitchinterval(1e-5)
else:
    sys.setcheckinterval(5)
failures = {}
def calls():
    for _ in range(%(calls)d):
        try:
            answer = repr(drvquery.get_driver_version())
        except Exception as e:
            answer = str(e)
        if answer != "[361, 80, 'r361_00']":
            failures[answer] = failures.get(answer, 0) + 1
threads = [threading.Thread(target=calls) for _ in range(%(threads)d)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
mark_events("calls done")
value = sorted(failures.items())
"""

HELD_QUERY = "NvAPI_SYS_GetDriverAndBranchVersion"

# Opens the gate of the held query as soon as it has been entered: the module calls the driver with the
# interpreter lock held, so nothing in the scenario's interpreter can run until then. It gives up when
# the gate is opened by the scenario (whose held thread ended without entering the driver).
GATE_OPENER = """
import os, sys, time
events, gate = sys.argv[1:]
while "enter %s" not in open(events).read().splitlines() and not os.path.exists(gate):
    time.sleep(0.005)
open(gate, "a").close()
""" % HELD_QUERY

# One thread's query is held inside the driver while the main thread makes a whole call, once that
# query has entered the driver (or its thread has ended without doing so).
HELD_CALL = MARK_EVENTS + """
import subprocess, sys, threading, time
events = os.environ["NVAPI_EMU_EVENTS"]
gate = os.environ["SCENARIO_GATE"]
opener = subprocess.Popen([sys.executable, "-c", %(opener)r, events, gate])
def outcome():
    try:
        return repr(drvquery.get_driver_version())
    except Exception as e:
        return str(e)
first = []
holder = threading.Thread(target=lambda: first.append(outcome()))
holder.start()
while holder.is_alive() and "enter %(held)s" not in open(events).read().splitlines():
    time.sleep(0.001)
mark_events("second call")
second = outcome()
open(gate, "a").close()
holder.join()
opener.wait()
os.remove(gate)
mark_events("calls done")
value = [first, second]
""" % {"opener": GATE_OPENER, "held": HELD_QUERY}


class ConcurrencyTest(unittest.TestCase):
    def assert_loads_paired(self, events):
        """Every load is followed by its release before the calls are over, and nothing after."""
        done = events.index("calls done")
        cycle = [event for event in events[:done] if event in ("loaded", "released")]
        self.assertTrue(cycle)
        self.assertEqual(cycle, ["loaded", "released"] * (len(cycle) // 2))
        self.assertEqual(events[done + 1:], [])

    def test_threads_calling_at_once(self):
        for threads, calls in [(2, 50), (4, 150)]:
            outcome = run_scenario(THREADED_CALLS % {"threads": threads, "calls": calls})
            self.assertIsNone(outcome.error)
            self.assertEqual(outcome.value, "[]", (threads, calls))
            self.assertEqual(outcome.count("call %s 0" % HELD_QUERY), threads * calls)
            self.assertEqual(outcome.count("call NvAPI_Unload 0"), outcome.count("loaded"))
            self.assert_loads_paired(outcome.events)

    def test_call_while_another_is_held_in_the_driver(self):
        gate = tempfile.mktemp(prefix="drvquery-gate-")
        outcome = run_scenario(HELD_CALL, SCENARIO_GATE=gate, NVAPI_EMU_HOLD="%s=%s@1" % (HELD_QUERY, gate))
        self.assertIsNone(outcome.error)
        answer = "[361, 80, 'r361_00']"
        self.assertEqual(outcome.value, repr([[answer], answer]))
        # Every load holds its first query: once, or twice when the second call loaded afresh.
        self.assertIn(outcome.count("enter " + HELD_QUERY), (1, 2))
        self.assertLess(outcome.events.index("enter " + HELD_QUERY), outcome.events.index("second call"))
        self.assertEqual(outcome.count("hold timeout " + HELD_QUERY), 0)
        self.assertEqual(outcome.count("call %s 0" % HELD_QUERY), 2)
        self.assert_loads_paired(outcome.events)


class MainTest(unittest.TestCase):
    def test_verbose_options(self):
        for argv, debug in [(["prog"], False), (["prog", "-v"], True), (["prog", "--verbose"], True),
                            (["prog", "x", "--verbose"], True), (["prog", "-vv"], False),
                            (["prog", "--verbose=1"], False)]:
            code = RECORD_PLATFORM + "sys.argv = %r\nvalue = [drvquery.main(), calls]" % (argv,)
            outcome = run_scenario(code)
            self.assertIsNone(outcome.error, argv)
            # debug output is on before the query runs, and the program context spans it
            self.assertEqual(outcome.value, "[None, [['init', 'Nvidia-Info', 'Nvidia Info', %s], "
                                            "['clean', 'Nvidia-Info']]]" % debug, argv)
            self.assertEqual(outcome.messages("info"), ["[361, 80, 'r361_00']"])

    def test_clean_runs_when_the_query_fails(self):
        outcome = run_scenario(RECORD_PLATFORM + """
sys.argv = ['prog']
try:
    drvquery.main()
except Exception as e:
    value = [str(e), calls]
""", TEVU_NVAPI_SYSTEM_DIR=None)
        self.assertEqual(outcome.value, "['error 4294967294 NvAPI_Initialize', "
                                        "[['init', 'Nvidia-Info', 'Nvidia Info', False], ['clean', 'Nvidia-Info']]]")
        self.assertEqual(outcome.messages("info"), [])

    def test_clean_failure_replaces_the_first_exception(self):
        outcome = run_scenario(RECORD_PLATFORM + """
sys.argv = ['prog']
def clean():
    calls.append('clean')
    raise RuntimeError('clean failed')
tevu.platform.clean = clean
value = drvquery.main()
""", TEVU_NVAPI_SYSTEM_DIR=None)
        self.assertEqual(outcome.error, ["RuntimeError", "clean failed"])

    def test_failing_init_still_cleans(self):
        outcome = run_scenario(RECORD_PLATFORM + """
sys.argv = ['prog']
def init(prgname, appname):
    raise ValueError('no display')
tevu.platform.init = init
try:
    drvquery.main()
except ValueError as e:
    value = [str(e), calls]
""")
        self.assertEqual(outcome.value, "['no display', [['clean', None]]]")
        self.assertEqual(outcome.events, [])  # the driver was never asked


class CommandLineTest(unittest.TestCase):
    """python -m tevu.codecs.drvquery, as a user runs it."""

    COMMAND = "python -m tevu.codecs.drvquery"
    ANSWER = "[361, 80, 'r361_00']"

    def run_command(self, *arguments, **environment):
        return run_child(["-m", "tevu.codecs.drvquery"] + list(arguments), environment)

    def test_runs_under_the_interpreter_s_optimisations(self):
        for flag in ["-O", "-OO"]:  # -OO drops docstrings
            rc, out, err, _ = run_child([flag, "-m", "tevu.codecs.drvquery", "--help"], {})
            self.assertEqual((rc, err), (0, ""), flag)
            self.assertIn("Exit status: 0", out)
            rc, out, err, _ = run_child([flag, "-m", "tevu.codecs.drvquery", "-v"], {})
            self.assertEqual(rc, 0, (flag, err))
            self.assertTrue(err.splitlines()[-1].endswith(" " + self.ANSWER), (flag, err))

    def test_logs_the_version(self):
        for arguments, debug in [([], False), (["-v"], True), (["--verbose"], True), (["-v", "--verbose"], True)]:
            rc, out, err, events = self.run_command(*arguments)
            self.assertEqual((rc, out), (0, ""), (arguments, err))
            lines = err.splitlines()
            self.assertTrue(lines[-1].endswith(" " + self.ANSWER), (arguments, err))
            self.assertEqual(any(line.endswith(" DriverVersion: 36180") for line in lines), debug, (arguments, err))
            self.assertEqual(any(line.endswith(" Build Branch: r361_00") for line in lines), debug, (arguments, err))
            self.assertNotIn("Traceback", err)
            for event in ("loaded", "call NvAPI_Initialize 0", "call NvAPI_Unload 0", "released"):
                self.assertEqual(events.count(event), 1, (arguments, event))

    def test_a_driver_failure_is_one_line_and_status_1(self):
        version_call = "NvAPI_SYS_GetDriverAndBranchVersion"
        for arguments, environment, text in [
                ([], {"TEVU_NVAPI_SYSTEM_DIR": None}, "error 4294967294 NvAPI_Initialize"),
                ([], {"NVAPI_EMU_FAIL": version_call + "=-5"}, "error 4294967291 " + version_call),
                ([], {"NVAPI_EMU_FAIL": "NvAPI_Unload=-7"}, "error 4294967295 NvAPI_Unload"),
                (["-v"], {"TEVU_NVAPI_SYSTEM_DIR": None}, "error 4294967294 NvAPI_Initialize")]:
            rc, out, err, _ = self.run_command(*arguments, **environment)
            self.assertEqual((rc, out), (1, ""), (environment, err))
            self.assertEqual(err.splitlines()[-1], "%s: %s" % (self.COMMAND, text), (environment, err))
            self.assertNotIn(self.ANSWER, err)
            # the traceback is shown to the verbose only
            self.assertEqual("Traceback" in err, bool(arguments), (arguments, err))

    def test_unknown_arguments_are_refused_before_the_driver_is_asked(self):
        for argument in ["--bogus", "-vv", "--verbose=1", "x"]:
            rc, out, err, events = self.run_command("-v", argument)
            self.assertEqual((rc, out), (2, ""), argument)
            self.assertEqual(err.splitlines(), ["%s: unknown argument %r" % (self.COMMAND, argument),
                                                "usage: %s [-v | --verbose]" % self.COMMAND])
            self.assertEqual(events, [], argument)

    def test_help(self):
        for argument in ["-h", "--help"]:
            rc, out, err, events = self.run_command(argument, "--bogus")
            self.assertEqual((rc, err, events), (0, "", []), argument)
            self.assertTrue(out.startswith("usage: %s [-v | --verbose]\n\n" % self.COMMAND), out)
            self.assertIn("Exit status: 0", out)


# Daemon threads query the driver (with debug logging, so that Python code runs inside each call) when
# the interpreter exits. Between calls they use only their locals: Python 2 empties the modules' globals
# during its teardown while daemon threads still run.
EXIT_WHILE_QUERYING = """
import sys, threading, time
from tevu.codecs import drvquery
drvquery.log.enable_debug()
started = threading.Semaphore(0)
def query(get_driver_version=drvquery.get_driver_version, started=started):  # locals only: see below
    get_driver_version()
    started.release()
    while True:
        get_driver_version()
for _ in range(2):
    thread = threading.Thread(target=query)
    thread.daemon = True
    thread.start()
    started.acquire()
time.sleep(float(sys.argv[1]))
print("exiting")
"""


class InterpreterExitTest(unittest.TestCase):
    def test_exit_while_threads_query(self):
        for _ in range(3):
            for delay in ("0", "0.005", "0.02", "0.05"):
                rc, out, err, _ = run_child(["-c", EXIT_WHILE_QUERYING, delay], {})
                where = "delay %s: exit status %d\n%s" % (delay, rc, err[-3000:])
                self.assertEqual((rc, out.strip()), (0, "exiting"), where)
                for mark in ("terminate called", "FATAL", "Fatal Python error", "Sanitizer", "runtime error:"):
                    self.assertNotIn(mark, err, where)


if __name__ == "__main__":
    unittest.main()
