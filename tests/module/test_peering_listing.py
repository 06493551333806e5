"""The peering table of a network."""

import pytest

from testing.fakes import network_url

RULE = "  " + "." * 63
HEADER = "  " + "Peering name".ljust(51) + "Project::VPC".ljust(30)


@pytest.mark.parametrize("network", [{}, {"peerings": []}])
def test_no_peering(GcpLib, logs, network):
    assert GcpLib.listPeering(network) is None
    assert logs.lines == [
        ("INFO", "- Discover peering(s)"),
        ("INFO", "  no peering found"),
        ("INFO", RULE),
        ("INFO", HEADER),
        ("INFO", RULE),
    ]
    assert len(HEADER) == 83 and len(RULE) == 65


def test_rows_in_list_order_with_padded_names(GcpLib, logs):
    name50 = "n" * 50
    peerings = [
        {"name": "to-transit", "network": network_url("p1", "transit"), "state": "ACTIVE"},
        {"name": name50, "network": network_url("p2", "other"), "state": "INACTIVE"},
        {"name": "x" * 60, "network": network_url("p3", "b")},
        {"name": "réseau-é", "network": network_url("p4", "c")},
    ]
    GcpLib.listPeering({"peerings": peerings})
    assert logs.messages[4:] == [
        "  to-transit" + " " * 40 + " p1::transit",
        "  " + name50 + " p2::other",
        "  " + "x" * 60 + " p3::b",
        "  réseau-é" + " " * 42 + " p4::c",
    ]


def test_bad_record_raises_after_earlier_rows(GcpLib, logs):
    peerings = [{"name": "a", "network": network_url("p", "n")}, {"name": "b"}]
    with pytest.raises(KeyError, match="network"):
        GcpLib.listPeering({"peerings": peerings})
    assert logs.messages[-1].startswith("  a ")
    with pytest.raises(IndexError):
        GcpLib.listPeering({"peerings": [{"name": "c", "network": "projects/p"}]})


def test_peerings_without_length_raise_type_error(GcpLib, logs):
    with pytest.raises(TypeError):
        GcpLib.listPeering({"peerings": None})
    assert logs.messages == ["- Discover peering(s)"]


def test_makes_no_request(GcpLib, logs):
    class NoService(dict):
        pass

    # Only the network dict is read; a dict subclass with get() works too.
    GcpLib.listPeering(NoService(peerings=[{"name": "a", "network": network_url("p", "n")}]))
    assert logs.messages[-1] == "  a" + " " * 49 + " p::n"
