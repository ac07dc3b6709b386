"""Plain-Python transcriptions of the package's operations, for measuring only.

Each function here runs the same steps as the compiled operation it stands
beside in ``run.py``, written the straightforward way in Python (and pandas,
where the compiled readers call pandas too).  They are the yardsticks the
benchmarks compare against; they never ship in the package and nothing in the
package uses them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import pandas as pd

# ---------------------------------------------------------------------------
# Dispersion kernel

COMPLETION_TOLERANCE = 1e-06
PROFILE_WEEK_LIMIT = 5000


def dispersion_weight(weeks_since_threshold, *, amplitude, peak_weeks, spread):
    if weeks_since_threshold <= 0:
        return 0.0
    z = math.log(weeks_since_threshold / peak_weeks) / spread
    return amplitude * math.exp(-0.5 * z * z)


@dataclass(frozen=True, slots=True)
class DispersionProfile:
    shares: tuple
    cumulative: tuple

    def share(self, weeks_since_threshold):
        if weeks_since_threshold <= 0 or weeks_since_threshold >= len(self.shares):
            return 0.0
        return self.shares[weeks_since_threshold]

    def fraction_done(self, weeks_since_threshold):
        if weeks_since_threshold <= 0 or not self.cumulative:
            return 0.0
        if weeks_since_threshold >= len(self.cumulative):
            return 1.0
        return self.cumulative[weeks_since_threshold]

    def hazard(self, weeks_since_threshold):
        if weeks_since_threshold <= 0 or not self.shares:
            return 0.0
        if weeks_since_threshold >= len(self.shares) - 1:
            return 1.0
        remaining = 1.0 - self.cumulative[weeks_since_threshold - 1]
        if remaining <= 1e-12:
            return 1.0
        p = self.shares[weeks_since_threshold] / remaining
        return p if p < 1.0 else 1.0


def build_dispersion_profile(amplitude, peak_weeks, spread):
    """The builder without its cache."""
    if amplitude <= 0.0:
        return DispersionProfile(shares=(), cumulative=())
    raw = [0.0]
    total = 0.0
    for week in range(1, PROFILE_WEEK_LIMIT):
        w = dispersion_weight(week, amplitude=amplitude, peak_weeks=peak_weeks, spread=spread)
        raw.append(w)
        total += w
        if week > peak_weeks and w <= 1e-15 * (1e-300 if 1e-300 > total else total):
            break
    if total <= 0.0:
        n = round(peak_weeks)
        if not n > 1:
            n = 1
        t = (0.0,) * n + (1.0,)
        return DispersionProfile(shares=t, cumulative=t)
    shares = [0.0]
    cumulative = [0.0]
    running = 0.0
    for weight in raw[1:]:
        s = weight / total
        if running + s >= 1.0 - COMPLETION_TOLERANCE:
            s = 1.0 - running
            shares.append(s)
            cumulative.append(1.0)
            break
        running = running + s
        shares.append(s)
        cumulative.append(running)
    return DispersionProfile(shares=tuple(shares), cumulative=tuple(cumulative))


def hazard_from_shares(weeks_since_threshold, shares):
    if weeks_since_threshold <= 0 or not shares:
        return 0.0
    if weeks_since_threshold > len(shares):
        return 1.0
    done = 0.0
    for x in shares[: weeks_since_threshold - 1]:
        x = x if x > 0.0 else 0.0
        h = done + x
        done = h if h < 1.0 else 1.0
    remaining = 1.0 - done
    if remaining <= 1e-12:
        return 1.0
    x = shares[weeks_since_threshold - 1]
    x = x if x > 0.0 else 0.0
    p = x / remaining
    return p if p < 1.0 else 1.0


# ---------------------------------------------------------------------------
# Reader support


def _normalize_tag(raw):
    if raw is None or (isinstance(raw, float) and math.isnan(raw)) or pd.isna(raw):
        return ""
    return str(raw).strip().lower()


def _optional_float(value):
    if pd.isna(value):
        return None
    return float(value)


def _rows(table, mask):
    return str(list(table.index[mask]))


class YardstickError(Exception):
    pass


# ---------------------------------------------------------------------------
# Ribbon production file

_NUMERIC_COLUMNS = ("bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed")


def read_production(path, read_table):
    """HarvestTagReader.read: the checks of the file, step by step."""
    table = read_table(path, text_columns=("tag",))
    missing = [c for c in ("tag", "date", "bagged", "cut", "age_at_cut") if c not in table.columns]
    if missing:
        raise YardstickError(f"missing {missing}")
    table = table.assign(tag=table["tag"].map(_normalize_tag))
    notices = [c for c in ("field_losses", "rejected", "processed") if c not in table.columns]
    dates = pd.to_datetime(table["date"])
    dup = table.duplicated(subset=["tag", "date"], keep=False)
    if dup.any():
        raise YardstickError("duplicate rows at index " + _rows(table, dup))
    numeric = {}
    for column in _NUMERIC_COLUMNS:
        if column not in table.columns:
            numeric[column] = pd.Series(float("nan"), index=table.index)
            continue
        values = pd.to_numeric(table[column], errors="coerce")
        negative = values < 0
        if negative.any():
            raise YardstickError("negative at " + _rows(table, negative))
        numeric[column] = values
    cut = numeric["cut"].fillna(0.0)
    incomplete = (cut > 0) & numeric["age_at_cut"].isna()
    if incomplete.any():
        raise YardstickError("incomplete at " + _rows(table, incomplete))
    if "processed" in table.columns and "rejected" in table.columns:
        processed, rejected = numeric["processed"], numeric["rejected"]
        unbalanced = (processed.notna() & rejected.notna()
                      & ((cut - (processed + rejected)).abs() > 1e-06))
        if unbalanced.any():
            raise YardstickError("unbalanced at " + _rows(table, unbalanced))
    data = pd.DataFrame({"tag": table["tag"], "date": dates.dt.date,
                         **{column: numeric[column] for column in _NUMERIC_COLUMNS}})
    return data, notices


@dataclass(frozen=True, slots=True)
class ProductionObservation:
    bagged: float | None
    cut: float | None
    age_at_cut: float | None
    field_losses: float | None
    rejected: float | None
    processed: float | None


class RibbonProductionData:
    def __init__(self, data, weather):
        self._tags = tuple(sorted(data["tag"].unique()))
        observations = {}
        weeks = []
        for row in data.itertuples(index=False):
            week = weather.week_index_for_date(row.date)
            weeks.append(week)
            observations[(row.tag, week)] = ProductionObservation(
                bagged=_optional_float(row.bagged),
                cut=_optional_float(row.cut),
                age_at_cut=_optional_float(row.age_at_cut),
                field_losses=_optional_float(row.field_losses),
                rejected=_optional_float(row.rejected),
                processed=_optional_float(row.processed),
            )
        self._observations = observations
        self._first_week = min(weeks) if weeks else None
        self._last_week = max(weeks) if weeks else None


# ---------------------------------------------------------------------------
# Sucker selection file


def read_selection(path, read_table):
    """FollowerChoiceReader.read."""
    table = read_table(path)
    dates = pd.to_datetime(table["date"])
    dup = table.duplicated(subset=["date"], keep=False)
    if dup.any():
        raise YardstickError("duplicate dates at " + _rows(table, dup))
    parous = pd.to_numeric(table["parous_count"], errors="coerce")
    nulliparous = pd.to_numeric(table["nulliparous_count"], errors="coerce")
    for series in (parous, nulliparous):
        negative = series < 0
        if negative.any():
            raise YardstickError("negative at " + _rows(table, negative))
    return pd.DataFrame({"date": dates.dt.date, "parous": parous, "nulliparous": nulliparous,
                         "total": parous.add(nulliparous, fill_value=0.0)})


class SuckerSelectionData:
    def __init__(self, data, weather):
        totals = {}
        weeks = []
        for row in data.itertuples(index=False):
            week = weather.week_index_for_date(row.date)
            weeks.append(week)
            if pd.isna(row.total):
                continue
            totals[week] = float(row.total)
        self._week_totals = totals
        self._first_week = min(weeks) if weeks else None
        self._last_week = max(weeks) if weeks else None


# ---------------------------------------------------------------------------
# Population inventory and weather files


def read_inventory(path, read_table, valid_chains):
    """PopulationInventoryReader.read."""
    table = read_table(path, text_columns=("tag",))
    invalid = sorted(set(table["chain"]) - valid_chains)
    if invalid:
        raise YardstickError(f"invalid chains {invalid}")
    population = pd.to_numeric(table["population"], errors="coerce")
    if population.isna().any() or (population < 0).any():
        raise YardstickError("population")
    age = pd.to_numeric(table["age_weeks"], errors="coerce")
    if age.isna().any() or (age < 0).any() or (age != age.astype(int)).any():
        raise YardstickError("age_weeks")
    result = pd.DataFrame({"chain": table["chain"], "population": population.astype(float),
                           "age_weeks": age.astype(int)})
    if "tag" in table.columns:
        result = result.assign(tag=table["tag"].map(_normalize_tag))
    return result


def read_weather(path, read_table):
    """WeatherFileReader.read with the default column map."""
    table = read_table(path)
    parsed = pd.to_datetime(table["date"], format="mixed")
    table = table.assign(date=parsed)
    return table[["date", "tmean"]]
