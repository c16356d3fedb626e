"""Session, event and error identifiers of ombrix_sdk.logging.log_id."""

import re
import threading
import types
import uuid

import pytest

from ombrix_sdk.logging.log_id import ErrorType, EventType, LogIDGenerator

SESSION_RE = r"SES-[a-z0-9]{8}-\d+-[a-f0-9\-]{8}"
EVENT_RE = r"EVT-EVT-[a-z0-9]{8}-\d+-\d+"
ERROR_RE = r"ERR-GEN-[a-z0-9]{8}-\d+-\d+"

NODE = "abcdef1234567890"
SOURCE = 2


@pytest.fixture
def gen():
    return LogIDGenerator(node_id=NODE, source_idx=SOURCE)


def _counter(log_id):
    return int(log_id.rsplit("-", 1)[1])


# --- construction -----------------------------------------------------------


@pytest.mark.parametrize(
    "node_id, source_idx, error",
    [
        (None, 0, TypeError),
        (12345678, 0, TypeError),
        (NODE, "2", TypeError),
        (NODE, 2.0, TypeError),
        (NODE, True, TypeError),
        (NODE, -1, ValueError),
    ],
)
def test_constructor_rejects_bad_arguments(node_id, source_idx, error):
    with pytest.raises(error):
        LogIDGenerator(node_id=node_id, source_idx=source_idx)


# --- session id -------------------------------------------------------------


@pytest.mark.parametrize(
    "node_id, source_idx",
    [(NODE, SOURCE), ("abc", 0), ("12345678", 17), ("deadbeefcafe", 1024)],
)
def test_session_id_format(node_id, source_idx):
    sid = LogIDGenerator(node_id=node_id, source_idx=source_idx).generate_session_id()
    fields = sid.split("-")
    assert fields[0] == "SES"
    assert fields[1] == node_id[:8]
    assert fields[2] == str(source_idx)
    assert re.fullmatch(r"[a-f0-9\-]{8}", sid[-8:])
    assert sid == "SES-%s-%d-%s" % (node_id[:8], source_idx, sid[-8:])
    if len(node_id) >= 8:
        assert re.fullmatch(SESSION_RE, sid)


def test_session_id_reference_node(gen):
    sid = gen.generate_session_id()
    assert re.fullmatch(SESSION_RE, sid)
    assert sid.split("-")[1] == NODE[:8]
    assert sid.split("-")[2] == str(SOURCE)


def test_session_id_random_part_differs_between_generators():
    ids = {
        LogIDGenerator(node_id=NODE, source_idx=SOURCE).generate_session_id()
        for _ in range(20)
    }
    assert len(ids) == 20


def test_session_id_is_cached(gen):
    first = gen.generate_session_id()
    assert gen.generate_session_id() == first
    assert gen.generate_session_id(force=False) == first


def test_forced_session_id_is_new_and_cached(gen):
    first = gen.generate_session_id()
    seen = {first}
    for _ in range(10):
        forced = gen.generate_session_id(force=True)
        assert forced not in seen
        assert re.fullmatch(SESSION_RE, forced)
        assert gen.generate_session_id() == forced
        assert gen.get_session_id() == forced
        seen.add(forced)


def test_forced_session_id_differs_even_if_random_part_repeats(gen, monkeypatch):
    from ombrix_sdk.logging import log_id as log_id_module

    repeated = uuid.UUID(int=0x1234)
    fresh = uuid.UUID(int=0x5678 << 96)
    draws = iter([repeated, repeated, repeated, fresh])
    monkeypatch.setattr(
        log_id_module, "uuid", types.SimpleNamespace(uuid4=lambda: next(draws))
    )
    first = gen.generate_session_id()
    forced = gen.generate_session_id(force=True)
    assert forced != first
    assert forced.endswith(fresh.hex[:8])
    assert re.fullmatch(SESSION_RE, forced)


def test_force_on_first_call_creates_the_id(gen):
    sid = gen.generate_session_id(force=True)
    assert re.fullmatch(SESSION_RE, sid)
    assert gen.get_session_id() == sid


def test_get_session_id_none_until_generated(gen):
    assert gen.get_session_id() is None
    gen.generate_event_id()
    gen.generate_error_id()
    assert gen.get_session_id() is None
    sid = gen.generate_session_id()
    assert gen.get_session_id() == sid


# --- event and error ids ----------------------------------------------------


@pytest.mark.parametrize(
    "method, prefix, pattern",
    [
        ("generate_event_id", "EVT-EVT-", EVENT_RE),
        ("generate_error_id", "ERR-GEN-", ERROR_RE),
    ],
)
def test_default_type(gen, method, prefix, pattern):
    log_id = getattr(gen, method)()
    assert re.fullmatch(pattern, log_id)
    assert log_id == "%s%s-%d-1" % (prefix, NODE[:8], SOURCE)


@pytest.mark.parametrize(
    "method, kind, prefix",
    [
        ("generate_event_id", EventType.START, "EVT-START-"),
        ("generate_error_id", ErrorType.FRAME_CAPTURE, "ERR-FRAME-"),
    ]
    + [("generate_event_id", t, "EVT-%s-" % t.value) for t in EventType]
    + [("generate_error_id", t, "ERR-%s-" % t.value) for t in ErrorType],
)
def test_named_type(gen, method, kind, prefix):
    log_id = getattr(gen, method)(kind)
    assert log_id.startswith(prefix)
    assert log_id == "%s%s-%d-1" % (prefix, NODE[:8], SOURCE)


@pytest.mark.parametrize("enum_cls", [EventType, ErrorType])
def test_type_texts_are_distinct_and_dash_free(enum_cls):
    texts = [member.value for member in enum_cls]
    assert len(set(texts)) == len(texts)
    for text in texts:
        assert isinstance(text, str) and text and "-" not in text


@pytest.mark.parametrize(
    "method, tag", [("generate_event_id", "EVT"), ("generate_error_id", "ERR")]
)
def test_short_node_id_used_whole(method, tag):
    log_id = getattr(LogIDGenerator(node_id="abc", source_idx=0), method)()
    fields = log_id.split("-")
    assert fields[0] == tag
    assert fields[2:] == ["abc", "0", "1"]


@pytest.mark.parametrize("method", ["generate_event_id", "generate_error_id"])
def test_counter_counts_from_one(gen, method):
    ids = [getattr(gen, method)() for _ in range(5)]
    assert [_counter(i) for i in ids] == [1, 2, 3, 4, 5]


@pytest.mark.parametrize(
    "first, second",
    [
        ("generate_error_id", "generate_event_id"),
        ("generate_event_id", "generate_error_id"),
    ],
)
def test_counters_are_independent(gen, first, second):
    getattr(gen, first)()
    getattr(gen, first)()
    assert getattr(gen, second)().endswith("-1")
    assert _counter(getattr(gen, first)()) == 3


def test_counters_belong_to_their_generator():
    a = LogIDGenerator(node_id=NODE, source_idx=0)
    b = LogIDGenerator(node_id=NODE, source_idx=1)
    a.generate_event_id()
    a.generate_event_id()
    assert _counter(b.generate_event_id()) == 1
    assert _counter(a.generate_event_id()) == 3


@pytest.mark.parametrize("method", ["generate_event_id", "generate_error_id"])
def test_counters_thread_safe(gen, method):
    n_threads = 50
    barrier = threading.Barrier(n_threads, timeout=60)
    results = []
    results_lock = threading.Lock()

    def take_one():
        barrier.wait()
        log_id = getattr(gen, method)()
        with results_lock:
            results.append(log_id)

    threads = [threading.Thread(target=take_one) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(_counter(i) for i in results) == list(range(1, n_threads + 1))


def test_concurrent_forced_sessions_stay_consistent(gen):
    n_threads = 20
    barrier = threading.Barrier(n_threads, timeout=60)
    produced = []
    produced_lock = threading.Lock()

    def force_one():
        barrier.wait()
        sid = gen.generate_session_id(force=True)
        with produced_lock:
            produced.append(sid)

    threads = [threading.Thread(target=force_one) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(produced) == n_threads
    assert len(set(produced)) == n_threads
    assert gen.get_session_id() in produced


# --- formatting -------------------------------------------------------------


@pytest.mark.parametrize(
    "message, log_id",
    [
        ("hello", "ERR-GEN-abc-0-1"),
        ("", "EVT-START-abcdef12-2-7"),
        ("50% done [x]", "EVT-EVT-abcdef12-2-3"),
    ],
)
def test_format_log_with_id_on_class_and_instance(gen, message, log_id):
    expected = "[" + log_id + "] " + message
    assert LogIDGenerator.format_log_with_id(message, log_id) == expected
    assert gen.format_log_with_id(message, log_id) == expected


def test_format_log_with_id_reference_case():
    assert (
        LogIDGenerator.format_log_with_id("hello", "ERR-GEN-abc-0-1")
        == "[ERR-GEN-abc-0-1] hello"
    )


@pytest.mark.parametrize("message", ["hello", "", "frame 12 dropped"])
def test_format_log_with_session(gen, message):
    assert gen.format_log_with_session(message) == message
    sid = gen.generate_session_id()
    assert gen.format_log_with_session(message) == "[" + sid + "] " + message
    newer = gen.generate_session_id(force=True)
    assert gen.format_log_with_session(message) == "[" + newer + "] " + message
