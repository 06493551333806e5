"""Waiting for a global operation to finish."""

import collections

import pytest

from testing.fakes import FakeHttpError


def waits(service):
    return service.executed("globalOperations.wait")


def test_done_at_first_poll_returns_it_without_sleeping(GcpLib, service, sleeps):
    result = GcpLib.wait_for_global_operation(service, "proj", "op-1")
    assert result == {"name": "op-1", "status": "DONE"}
    assert waits(service) == [("globalOperations.wait", {"project": "proj", "operation": "op-1"})]
    assert sleeps == []


def test_polls_until_done_sleeping_one_second_between(GcpLib, service, sleeps):
    service.statuses["op"] = ["PENDING", "RUNNING", "DONE"]
    service.operation_extra["op"] = {"progress": 100}
    result = GcpLib.wait_for_global_operation(service, "proj", operation="op")
    assert len(waits(service)) == 3
    assert sleeps == [1, 1] and all(type(s) is int for s in sleeps)
    assert result == {"name": "op", "status": "DONE", "progress": 100}
    # Each poll asks the service for its collection afresh.
    assert [n for ev, n, _ in service.log if ev == "build"] == ["globalOperations.wait"] * 3


@pytest.mark.parametrize("error", [{"errors": [{"code": "X"}]}, {}, None, "boom"])
def test_done_with_error_raises_exception_carrying_it(GcpLib, service, sleeps, error):
    service.operation_extra["op"] = {"error": error}
    with pytest.raises(Exception) as info:
        GcpLib.wait_for_global_operation(service, "proj", "op")
    assert type(info.value) is Exception
    assert info.value.args == (error,)


def test_error_before_done_is_not_looked_at(GcpLib, service, sleeps):
    responses = iter([{"status": "RUNNING", "error": "x"}, {"status": "DONE"}])
    service.on("globalOperations.wait", lambda **kw: next(responses))
    assert GcpLib.wait_for_global_operation(service, "p", "o") == {"status": "DONE"}
    assert sleeps == [1]


def test_status_is_compared_case_sensitively(GcpLib, service, sleeps):
    service.statuses["op"] = ["done", "Done", "DONE"]
    GcpLib.wait_for_global_operation(service, "p", "op")
    assert len(sleeps) == 2


def test_missing_status_raises_key_error(GcpLib, service, sleeps):
    service.on("globalOperations.wait", {"name": "op"})
    with pytest.raises(KeyError, match="status"):
        GcpLib.wait_for_global_operation(service, "p", "op")


def test_service_errors_reach_the_caller_unchanged(GcpLib, service, sleeps):
    error = FakeHttpError(503, "unavailable")
    service.fail("globalOperations.wait", error)
    with pytest.raises(FakeHttpError) as info:
        GcpLib.wait_for_global_operation(service, "p", "op")
    assert info.value is error


class Str(str):
    pass


@pytest.mark.parametrize(
    "project,operation,message",
    [
        (None, "op", "Argument 'project' has incorrect type (expected str, got NoneType)"),
        (Str("p"), "op", "Argument 'project' has incorrect type (expected str, got Str)"),
        ("p", b"op", "Argument 'operation' has incorrect type (expected str, got bytes)"),
        ("p", None, "Argument 'operation' has incorrect type (expected str, got NoneType)"),
        (1, None, "Argument 'project' has incorrect type (expected str, got int)"),
        (collections.deque(), "op",
         "Argument 'project' has incorrect type (expected str, got deque)"),
    ],
)
def test_project_and_operation_must_be_exactly_str(GcpLib, service, project, operation, message):
    with pytest.raises(TypeError) as info:
        GcpLib.wait_for_global_operation(service, project, operation)
    assert str(info.value) == message
    assert service.log == []


class Mapping(collections.UserDict):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize("response,name", [(Mapping(status="DONE"), "Mapping"),
                                           (DictSub(status="DONE"), "DictSub")])
def test_result_must_be_exactly_a_dict(GcpLib, service, sleeps, response, name):
    service.on("globalOperations.wait", response)
    with pytest.raises(TypeError) as info:
        GcpLib.wait_for_global_operation(service, "p", "op")
    assert str(info.value) == f"Expected dict, got {name}"


def test_module_time_is_looked_up_at_each_sleep(gcplib, GcpLib, service, monkeypatch):
    first, second = [], []

    class T:
        def __init__(self, into):
            self.sleep = into.append

    monkeypatch.setattr(gcplib, "time", T(first))
    responses = iter([{"status": "RUNNING"}, {"status": "RUNNING"}, {"status": "DONE"}])

    def wait(**kw):
        response = next(responses)
        if first:  # after the first sleep, rebind the module's time
            monkeypatch.setattr(gcplib, "time", T(second))
        return response

    service.on("globalOperations.wait", wait)
    GcpLib.wait_for_global_operation(service, "p", "op")
    assert first == [1] and second == [1]


def test_an_override_in_a_subclass_is_the_one_used_by_wait_for(GcpLib):
    # The class methods that wait do so through cls.
    calls = []

    class Sub(GcpLib):
        @classmethod
        def wait_for_global_operation(cls, service, project, operation):
            calls.append((project, operation))
            return {}

    assert Sub.wait_for_global_operation("s", "p", "o") == {}
    assert calls == [("p", "o")]
