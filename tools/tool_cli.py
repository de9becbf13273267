"""The command line of the Python tools: --help with the defaults, --version from the build, values
checked as they are read, and a bad one reported in one line naming it, with exit status 2."""

from __future__ import print_function

import argparse
import os
import sys

DEFAULT_BUILD = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write("%s: %s (%s --help shows the options)\n" % (self.prog, message, self.prog))
        sys.exit(2)


def project_version(build):
    """The project's version, as the build tree was configured with it."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith("CMAKE_PROJECT_VERSION:"):
                    return line.split("=", 1)[1].strip()
    except (IOError, OSError):
        pass
    return "unknown (no configured build in %s)" % build


class Formatter(argparse.HelpFormatter):
    """Each option's help with its default, where it has one."""
    def _get_help_string(self, action):
        if action.default in (None, False, argparse.SUPPRESS) or not action.option_strings:
            return action.help
        return action.help + " (default: %(default)s)"


class Version(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        argparse.Action.__init__(self, option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                                 help="print the project version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print("%s %s" % (parser.prog, project_version(namespace.build)))
        parser.exit()


def parser(prog, description):
    """A parser with the options every tool has: --build (its wrapper passes it first) and --version."""
    p = Parser(prog=prog, description=description, formatter_class=Formatter)
    p.add_argument("--build", metavar="DIR", default=DEFAULT_BUILD, help="the build tree whose modules run")
    p.add_argument("--version", action=Version)
    return p


def number_in(low, high):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("'%s' is not a whole number" % text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError("%s is not between %d and %d" % (text, low, high))
        return value
    return parse


def pair(separator, what, high):
    """Two whole numbers from 1 to high joined by separator (640x480, 2/3)."""
    def parse(text):
        parts = text.split(separator)
        if len(parts) != 2 or not all(p.isdigit() and 1 <= int(p) <= high for p in parts):
            raise argparse.ArgumentTypeError("'%s' is not %s (numbers from 1 to %d)" % (text, what, high))
        return int(parts[0]), int(parts[1])
    return parse


def readable_file(text):
    try:
        open(text, "rb").close()
    except (IOError, OSError) as e:
        raise argparse.ArgumentTypeError("cannot read %s: %s" % (text, e.strerror))
    return text


def output_file(text):
    folder = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError("no such folder: %s" % folder)
    if os.path.isdir(text) or not os.access(folder, os.W_OK):
        raise argparse.ArgumentTypeError("cannot write %s" % text)
    return text


def known_encodings(apis):
    """Every encoding a module of the APIs given (tevu_nvenc_apis.APIS) can offer, in the order of preference."""
    found = []
    for api in apis:
        found += [e for e in api.encodings if e not in found]
    return found


def not_in_api(api, encoding):
    """Why the module of `api` (one of tevu_nvenc_apis.APIS) cannot be asked for `encoding`."""
    return "--encoding %s: the API-%d module offers only %s" % (encoding, api.number, ", ".join(api.encodings))


def not_offered(module, encoding):
    """Why an initialised module cannot be asked for `encoding` on this device."""
    return "--encoding %s: %s does not offer it on this device (it offers %s)" % (
        encoding, module.__name__, ", ".join(module.get_encodings()))


def progress(done, total, rate, out=sys.stdout):
    """A progress bar, redrawn in place; only on a terminal (a log or a pipe gets none)."""
    if not out.isatty():
        return
    width = 40
    filled = width * done // total
    out.write("\r[%s%s] %d/%d frames, %.1f fps" % ("#" * filled, "." * (width - filled), done, total, rate))
    out.flush()


def progress_done(out=sys.stdout):
    """Ends the progress bar's line."""
    if out.isatty():
        out.write("\n")
