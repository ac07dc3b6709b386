"""Notice records, the notice log and its warnings, read results."""

from __future__ import annotations

import dataclasses
import pickle
import types
import typing
import warnings

import pytest

from py_zelka.notices import Notice, NoticeKind, NoticeLog, ReadResult, T, ZelkaDataNotice


def make(**overrides) -> Notice:
    fields = dict(kind=NoticeKind.FEATURE_DISABLED, subject="rejected", message="M", source="S")
    fields.update(overrides)
    return Notice(**fields)


def emitted(log) -> list[warnings.WarningMessage]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert log.emit_warnings() is None
    return caught


@pytest.mark.parametrize(
    ("week_index", "tag", "text"),
    [
        (None, None, "[S] rejected: M"),
        (12, None, "[S] rejected: week_index=12 M"),
        (None, "red", "[S] rejected: tag='red' M"),
        (12, "red", "[S] rejected: week_index=12 tag='red' M"),
        (0, None, "[S] rejected: week_index=0 M"),
        (None, "", "[S] rejected: tag='' M"),
        (-3, "it's", "[S] rejected: week_index=-3 tag=\"it's\" M"),
    ],
)
def test_warning_text(week_index, tag, text):
    # tag given before week_index: the suffix order is fixed regardless
    caught = emitted(NoticeLog([make(tag=tag, week_index=week_index)]))
    assert [str(w.message) for w in caught] == [text]
    assert caught[0].category is ZelkaDataNotice


def test_text_uses_format_of_source_subject_message():
    class Label:
        def __format__(self, format_spec):
            return "<label>"

    caught = emitted(NoticeLog([make(source=Label(), subject=7, message=1.5e-06)]))
    assert [str(w.message) for w in caught] == ["[<label>] 7: 1.5e-06"]


def test_kind_does_not_enter_the_text():
    log = NoticeLog([make(kind=NoticeKind.FEATURE_DISABLED), make(kind=NoticeKind.FALLBACK_ESTIMATE)])
    first, second = (str(w.message) for w in emitted(log))
    assert first == second


def test_warnings_are_attributed_to_the_caller_in_order_and_log_is_unchanged():
    log = NoticeLog([make(subject="a"), make(subject="b", week_index=1)])
    before = list(log)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        log.emit_warnings(); line = __import__("inspect").currentframe().f_lineno  # noqa: E702
        log.emit_warnings()
    assert [str(w.message) for w in caught] == ["[S] a: M", "[S] b: week_index=1 M"] * 2
    assert caught[0].filename == __file__
    assert caught[0].lineno == line
    assert list(log) == before


def test_empty_log_emits_nothing():
    assert emitted(NoticeLog()) == []


def test_filter_error_stops_at_the_first_notice():
    log = NoticeLog([make(source="A"), make(source="B")])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.filterwarnings("error", message=r"\[A\]", category=ZelkaDataNotice)
        with pytest.raises(ZelkaDataNotice) as excinfo:
            log.emit_warnings()
    assert str(excinfo.value) == "[A] rejected: M"
    assert caught == []


ATTRIBUTE_ORDER = ["week_index", "tag", "source", "subject", "message"]


@pytest.mark.parametrize("missing", range(len(ATTRIBUTE_ORDER)))
def test_element_missing_an_attribute_fails_after_earlier_notices(missing):
    # every attribute after the missing one is absent too: the first missing
    # one in reading order is the one reported
    partial = types.SimpleNamespace(**{name: None for name in ATTRIBUTE_ORDER[:missing]})
    log = NoticeLog([make(), partial])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(AttributeError) as excinfo:
            log.emit_warnings()
    assert excinfo.value.name == ATTRIBUTE_ORDER[missing]
    assert [str(w.message) for w in caught] == ["[S] rejected: M"]


@pytest.mark.parametrize(("args", "kwargs"), [((1,), {}), ((), {"stacklevel": 2})])
def test_emit_warnings_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        NoticeLog().emit_warnings(*args, **kwargs)


def test_notice_kind():
    assert [(m.name, m.value) for m in NoticeKind] == [
        ("FALLBACK_ESTIMATE", "fallback_estimate"),
        ("FEATURE_DISABLED", "feature_disabled"),
    ]
    assert NoticeKind.__mro__[1:3] == (str, NoticeKind.__mro__[2])
    assert issubclass(NoticeKind, str)
    assert NoticeKind.FEATURE_DISABLED == "feature_disabled"
    assert NoticeKind("fallback_estimate") is NoticeKind.FALLBACK_ESTIMATE


def test_zelka_data_notice_is_a_plain_user_warning():
    assert ZelkaDataNotice.__bases__ == (UserWarning,)
    assert not any(k for k in vars(ZelkaDataNotice) if not k.startswith("__"))


def test_notice_record():
    fields = dataclasses.fields(Notice)
    assert [f.name for f in fields] == ["kind", "subject", "message", "source", "week_index", "tag"]
    assert [f.type for f in fields] == ["NoticeKind", "str", "str", "str", "int | None", "str | None"]
    assert Notice.__annotations__["week_index"] == "int | None"
    n = Notice("k", "s", "m", "src")
    assert (n.week_index, n.tag) == (None, None)
    assert Notice("k", "s", "m", "src", 3, "t") == Notice(
        tag="t", week_index=3, source="src", message="m", subject="s", kind="k"
    )
    assert hash(make(week_index=2)) == hash(make(week_index=2))
    assert make(week_index=2) != make(week_index=3)
    assert "__dict__" not in dir(n)
    with pytest.raises(dataclasses.FrozenInstanceError):
        n.subject = "other"
    # no instance dictionary: a name that is not a field cannot be set (the
    # data-class machinery of some interpreter versions reports TypeError)
    with pytest.raises((AttributeError, TypeError)):
        n.extra = 1


def test_notice_log_is_a_list_of_notices():
    assert NoticeLog.__orig_bases__ == (list[Notice],)
    assert NoticeLog.__bases__ == (list,)
    log = NoticeLog()
    assert isinstance(log, list) and not log
    log.append(make())
    log.extend([make(subject="b")])
    assert len(log) == 2 and log[1].subject == "b" and log
    assert NoticeLog(iter(log)) == log
    assert type(NoticeLog(log)) is NoticeLog


def test_read_result():
    assert ReadResult.__orig_bases__ == (typing.Generic[T],)
    assert isinstance(T, typing.TypeVar) and T.__name__ == "T"
    assert [(f.name, f.type) for f in dataclasses.fields(ReadResult)] == [
        ("data", "T"),
        ("notices", "NoticeLog"),
    ]
    log = NoticeLog([make()])
    result = ReadResult(data={"a": 1}, notices=log)
    assert result.notices is log
    assert result == ReadResult({"a": 1}, NoticeLog([make()]))
    assert ReadResult[int].__origin__ is ReadResult
    with pytest.raises(TypeError):
        hash(result)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.notices = NoticeLog()
    with pytest.raises(TypeError):
        ReadResult(data=1)


@pytest.mark.parametrize(
    "value",
    [
        make(week_index=4, tag="red"),
        NoticeKind.FALLBACK_ESTIMATE,
        ReadResult(data=[1, 2], notices=NoticeLog([make()])),
    ],
)
def test_records_pickle(value):
    copy = pickle.loads(pickle.dumps(value))
    assert copy == value and type(copy) is type(value)
    if isinstance(value, ReadResult):
        assert type(copy.notices) is NoticeLog
