"""python -m tevu.codecs.drvquery [-v | --verbose]: the driver query module's command line."""
from __future__ import absolute_import

import sys
import traceback

from tevu.codecs import drvquery

PROGRAM = "python -m tevu.codecs.drvquery"
VERBOSE = ("-v", "--verbose")
USAGE = "usage: %s [-v | --verbose]" % PROGRAM
# Kept out of the docstring, which python -OO drops.
DESCRIPTION = """
Logs the display driver's version and build branch through the host's logger, between the host
platform's init() and clean(); -v or --verbose logs the debug lines too. Exit status: 0 once the version
is logged, 1 when the driver could not be asked (the reason on standard error), 2 for an unknown argument.
"""


def run(arguments):
    for argument in arguments:
        if argument in ("-h", "--help"):
            sys.stdout.write(USAGE + "\n" + DESCRIPTION)
            return 0
        if argument not in VERBOSE:
            sys.stderr.write("%s: unknown argument %r\n%s\n" % (PROGRAM, argument, USAGE))
            return 2
    try:
        drvquery.main()  # reads -v / --verbose from sys.argv itself
    except Exception as error:
        if any(argument in VERBOSE for argument in arguments):
            traceback.print_exc()
        sys.stderr.write("%s: %s\n" % (PROGRAM, error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
