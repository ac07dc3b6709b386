"""Read many farms' folders at once.

    python examples/many_farms.py FARM_DIR [FARM_DIR ...] [--workers N]
    python examples/many_farms.py FARM_DIR [FARM_DIR ...] --dask
    python examples/many_farms.py FARM_DIR [FARM_DIR ...] --dask-address HOST:PORT

Each farm is read with py_zelka.farm.Farm.load in a worker process -- a
process pool, or the workers of a Dask distributed cluster
(``pip install "py_zelka[dask]"``; --dask starts a local one, --dask-address
connects to the scheduler at HOST:PORT) -- and travels back to this process by
pickling.  The folders travel as absolute paths: a worker started in another
directory finds them all the same.  A farm whose files
hold errors is named with every error of its check; the other farms are read
all the same.  (To check farms without reading them, run ``zelka check``.)
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
from collections.abc import Iterable, Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from py_zelka.farm import Farm, FarmCheckError

# A farm read, or the error that stopped it (its message names every problem).
Outcome = Farm | FarmCheckError


def read_farm(folder: str | os.PathLike[str]) -> Outcome:
    """One farm's folder, read and checked; its FarmCheckError when it holds errors."""
    try:
        return Farm.load(folder)
    except FarmCheckError as error:
        return error


def read_farms_with_processes(folders: Iterable[str | os.PathLike[str]], workers: int | None = None) -> list[Outcome]:
    """Read the farms in a pool of worker processes, in the order given.

    The workers are started afresh ("spawn"), not forked from this process,
    which may be running threads of its own (a notebook's, a server's).
    """
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        return list(pool.map(read_farm, [os.path.abspath(f) for f in folders]))


def read_farms_with_dask(folders: Iterable[str | os.PathLike[str]], client: Any) -> list[Outcome]:
    """Read the farms on the workers of a Dask distributed client, in the order given."""
    if __name__ != "__main__":
        # imported from elsewhere: the workers need this file to find read_farm
        client.upload_file(__file__)
    futures = client.map(read_farm, [os.path.abspath(f) for f in folders], pure=False)
    return list(client.gather(futures))


def summary(farm: Farm) -> list[str]:
    provider = farm.provider
    plants = "-" if farm.inventory is None else f"{farm.inventory['population'].sum():.0f}"
    tags = "-" if farm.production is None else str(len(farm.production.tags()))
    return [
        os.path.basename(os.path.normpath(farm.folder)),
        f"{provider.start} to {provider.end}",
        plants,
        tags,
        f"{sum(farm.schedule.replacement_schedule.values()):.0f}",
        str(len(farm.notices)),
    ]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("folders", nargs="+", help="one folder per farm")
    parser.add_argument("--workers", type=int, default=None, help="worker processes (default: one per core)")
    parser.add_argument("--dask", action="store_true", help="read on a local Dask cluster")
    parser.add_argument("--dask-address", metavar="HOST:PORT",
                        help="read on the Dask cluster whose scheduler is at HOST:PORT")
    args = parser.parse_args(argv)

    if not args.dask and args.dask_address is None:
        outcomes = read_farms_with_processes(args.folders, args.workers)
    else:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            print('--dask needs Dask distributed: pip install "py_zelka[dask]"', file=sys.stderr)
            return 2
        # Dask distributed ships without type annotations for these two
        if args.dask_address is not None:
            with Client(args.dask_address, timeout=10) as client:  # type: ignore[no-untyped-call]
                outcomes = read_farms_with_dask(args.folders, client)
        else:
            cluster = LocalCluster(n_workers=args.workers or 2, threads_per_worker=1)  # type: ignore[no-untyped-call]
            with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
                outcomes = read_farms_with_dask(args.folders, client)

    farms = [o for o in outcomes if isinstance(o, Farm)]
    headers = ["farm", "weather period", "plants", "ribbon tags", "replacements", "notices"]
    rows = [summary(farm) for farm in farms]
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    for line in [headers, ["-" * w for w in widths], *rows]:
        print("  ".join(v.ljust(w) for v, w in zip(line, widths)).rstrip())
    for folder, outcome in zip(args.folders, outcomes):
        if isinstance(outcome, FarmCheckError):
            print(f"\nfarm {folder} was not read: {outcome}", file=sys.stderr)
    return 0 if len(farms) == len(outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
