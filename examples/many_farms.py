"""Read many farms' record files at once.

    python examples/many_farms.py FARM_DIR [FARM_DIR ...] [--workers N]
    python examples/many_farms.py FARM_DIR [FARM_DIR ...] --dask [SCHEDULER_ADDRESS]

Every folder holds one farm's files under the names of examples/data
(parameters.yaml, management.yaml, weather.csv, inventory.csv, production.csv,
selection.csv).  Each farm is read in a worker process -- a process pool, or
the workers of a Dask distributed cluster (``pip install "py_zelka[dask]"``;
without an address a local cluster is started) -- and what the readers return
travels back to this process by pickling: parameter sets, weather providers,
read results with their notice logs, production and selection data, the
replacement schedule.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
from collections.abc import Iterable, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

from py_zelka.cropcare import CropCare
from py_zelka.parameters import ParameterSet
from py_zelka.readers.climate_reader import WeatherFileReader
from py_zelka.readers.follower_choice_reader import SuckerSelectionData
from py_zelka.readers.harvest_tag_reader import RibbonProductionData
from py_zelka.readers.inventory_reader import PopulationInventoryReader
from py_zelka.weather import WeatherProvider

Farm = dict[str, Any]


def read_farm(folder: str | os.PathLike[str]) -> Farm:
    """Everything the simulation is given for one farm, read from its folder."""
    folder = Path(folder)
    params = ParameterSet.from_yaml(folder / "parameters.yaml", source_tag=folder.name)
    weather = WeatherFileReader.read(folder / "weather.csv")
    provider = WeatherProvider.from_table(weather.data, week_length_days=params.general["week_length_days"])
    return {
        "farm": folder.name,
        "parameters": params,
        "weather": provider,
        "inventory": PopulationInventoryReader.read(folder / "inventory.csv"),
        "production": RibbonProductionData.from_file(folder / "production.csv", provider),
        "selection": SuckerSelectionData.from_file(folder / "selection.csv", provider),
        "schedule": CropCare.from_yaml(folder / "management.yaml"),
    }


def read_farms_with_processes(folders: Iterable[str | os.PathLike[str]], workers: int | None = None) -> list[Farm]:
    """Read the farms in a pool of worker processes, in the order given.

    The workers are started afresh ("spawn"), not forked from this process,
    which may be running threads of its own (a notebook's, a server's).
    """
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        return list(pool.map(read_farm, [str(f) for f in folders]))


def read_farms_with_dask(folders: Iterable[str | os.PathLike[str]], client: Any) -> list[Farm]:
    """Read the farms on the workers of a Dask distributed client, in the order given."""
    if __name__ != "__main__":
        # imported from elsewhere: the workers need this file to find read_farm
        client.upload_file(__file__)
    futures = client.map(read_farm, [str(f) for f in folders], pure=False)
    return list(client.gather(futures))


def summary(farm: Farm) -> list[Any]:
    provider: WeatherProvider = farm["weather"]
    inventory = farm["inventory"].data
    production: RibbonProductionData = farm["production"].data
    notices = sum(len(farm[name].notices) for name in ("inventory", "production", "selection"))
    schedule: CropCare = farm["schedule"]
    return [
        farm["farm"],
        f"{provider.start} to {provider.end}",
        f"{inventory['population'].sum():.0f}",
        len(production.tags()),
        f"{sum(schedule.replacement_schedule.values()):.0f}",
        notices,
    ]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("folders", nargs="+", type=Path, help="one folder per farm")
    parser.add_argument("--workers", type=int, default=None, help="worker processes (default: one per core)")
    parser.add_argument("--dask", nargs="?", const="", metavar="ADDRESS",
                        help="read on a Dask cluster (a local one without an address)")
    args = parser.parse_args(argv)

    if args.dask is None:
        farms = read_farms_with_processes(args.folders, args.workers)
    else:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            print('--dask needs Dask distributed: pip install "py_zelka[dask]"', file=sys.stderr)
            return 2
        # Dask distributed ships without type annotations for these two
        if args.dask:
            with Client(args.dask) as client:  # type: ignore[no-untyped-call]
                farms = read_farms_with_dask(args.folders, client)
        else:
            cluster = LocalCluster(n_workers=args.workers or 2, threads_per_worker=1)  # type: ignore[no-untyped-call]
            with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
                farms = read_farms_with_dask(args.folders, client)

    headers = ["farm", "weather period", "plants", "ribbon tags", "replacements", "notices"]
    rows = [[str(v) for v in summary(farm)] for farm in farms]
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    for line in [headers, ["-" * w for w in widths], *rows]:
        print("  ".join(v.ljust(w) for v, w in zip(line, widths)).rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
