"""Child processes: a program run to its end, a Python snippet in a fresh interpreter, and the
environment they see. In every environment change a value of None removes the variable."""

import contextlib
import os
import subprocess
import sys


def _apply(env, changes):
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value


def child_environment(changes=None):
    """This process's environment with the changes made."""
    env = dict(os.environ)
    _apply(env, changes or {})
    return env


@contextlib.contextmanager
def environment(**changes):
    """Changes this process's own environment for the length of a with block (the stand-ins read their
    controls on every call), then puts back what was there."""
    saved = dict((name, os.environ.get(name)) for name in changes)
    _apply(os.environ, changes)
    try:
        yield
    finally:
        _apply(os.environ, saved)


def run(args, env=None, input=None, text=True, cwd=None):
    """Runs a program to its end: (exit status, standard output, standard error), text unless `text` is
    false. `env`: changes to this process's environment; `input`: what the program reads on its standard
    input (without it the program shares this process's)."""
    p = subprocess.Popen(args, env=child_environment(env), cwd=cwd,
                         stdin=None if input is None else subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=text)
    out, err = p.communicate(input)
    return p.returncode, out, err


def run_tool(args):
    """Runs one of the system's programs that must succeed (ffmpeg, ffprobe). They are not instrumented:
    the sanitizer runtime that a sanitizer build preloads into the interpreter stays out. Returns (standard
    output as bytes, standard error as text); a failure raises AssertionError with its diagnostics."""
    rc, out, err = run(args, env={"LD_PRELOAD": None}, text=False)
    err = err.decode("utf-8", "replace")
    if rc != 0:
        raise AssertionError("%s failed: %s" % (args[0], err[-2000:]))
    return out, err


def run_python(code, env=None, optimize=False, module=None):
    """Runs code in a fresh interpreter (this one's; with `optimize`, under -O) where print() is the
    function and, when `module` is named, that module is imported as `m` (and ENCODING is the encoding under
test); (exit status, standard output,
    standard error) as text."""
    prologue = "from __future__ import print_function\n"
    if module:
        prologue += ("import importlib\nm = importlib.import_module(%r)\n"
                     "from tevu_testsupport.streams import ENCODING\n" % module)
    return run([sys.executable] + (["-O"] if optimize else []) + ["-c", prologue + code], env)
