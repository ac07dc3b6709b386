"""A farm's files through the whole of py_zelka: `zelka tour` from Python.

    python examples/tour.py                 # the example farm shipped with py_zelka
    python examples/tour.py --data DIR      # another farm's folder
    python examples/tour.py --plot out.png  # also draw the profiles and the production

The tour reads the farm with py_zelka.farm.Farm.load (so a farm.yaml in the
folder is honoured) and shows what the simulation would be given: the
parameter set, the dispersion of flowering, sucker selection and harvest, the
weather period, the population inventory, the ribbon production, the sucker
selection totals, the replacement schedule and the notices of the reads.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from py_zelka.cli import main as zelka


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--data", metavar="DIR", help="the farm's folder (default: the example farm)")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the profiles and the production")
    args = parser.parse_args(argv)
    command = ["tour"]
    if args.data:
        command.append(args.data)
    if args.plot:
        command += ["--plot", args.plot]
    return zelka(command)


if __name__ == "__main__":
    sys.exit(main())
