"""The status comparison against what the module's stages really do on the
emulator: for drawn router settings and plan entries, and drawn route
specs, a stage leaves its record ``switched`` and its restore
``restored``, whatever the stage had to do."""

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarn_gcp.plan import Plan
from tarn_gcp.plan.status import RESTORED, SWITCHED, compare
from tarn_gcp.emulator import sample
from tarn_gcp.res.Globals import Globals

from e2e_helpers import MKEY, load_plan

POOL = ["10.10.0.0/20", "10.10.16.0/20", "10.10.0.0/16", "192.168.100.0/24", "10.30.0.0/24"]
ranges = st.lists(st.sampled_from(POOL), max_size=3)
groups = st.lists(st.just("ALL_SUBNETS"), max_size=1)
# A withdrawal written with host bits set never matches.
withdrawn = st.lists(st.sampled_from(POOL + ["10.10.0.1/20"]), max_size=3)
specs = st.fixed_dictionaries({
    "cidr": st.sampled_from(["192.168.0.0/16", "10.100.0.0/16", "10.77.0.0/24"]),
    "zone": st.just("europe-west1-b"), "dest_instance": st.just("router-appliance-euw1"),
    "priority": st.sampled_from([None, 0, 800, 65535]),
    "name": st.sampled_from([None, None, "by-name"])})
HYPO = settings(max_examples=12, deadline=None, derandomize=True,
                suppress_health_check=[HealthCheck.function_scoped_fixture,
                                       HealthCheck.too_slow])


def stage_state(compute, plan, name):
    document = compare(compute, Plan(plan, "plan.yaml"), MKEY, Globals.getRevertInfo())
    (stage,) = [s for s in document["stages"] if s["stage"] == name]
    return stage["state"], [(i["name"], i["state"], i["detail"]) for i in stage["items"]]


def assert_round_trip(compute, plan, name, entry, *args):
    """The stage ``entry`` switched, then restored: status reads the stage
    and every item of it as switched, then as restored."""
    for forward, expected in ((True, SWITCHED), (False, RESTORED)):
        entry(forward, *args)
        state, items = stage_state(compute, plan, name)
        assert state == expected and {i[1] for i in items} == {expected}, items


@HYPO
@given(start=st.tuples(ranges, groups), entry=st.tuples(ranges, withdrawn, groups))
def test_router_stage_and_restore_read_as_switched_and_restored(
        GcpLib, emulator, compute, migration, start, entry):
    emulator.reset(seed=sample)
    Globals.resetRevertInfo()
    bgp = {"advertisedIpRanges": [{"range": r} for r in dict.fromkeys(start[0])],
           "advertisedGroups": start[1]}
    compute.routers().patch(project="tarn-transit", region="europe-west1",
                            router="transit-a-cr-euw1", body={"bgp": bgp}).execute()
    plan = load_plan()
    router = plan["transit_vpcs"][0]["cloud_routers"][0]
    router.update(add_advertised_routes=entry[0], remove_advertised_routes=entry[1],
                  remove_advertised_groups=entry[2] + ["ALL_VPC_SUBNETS"])
    migration.use_plan(plan)

    assert_round_trip(compute, plan, "routers", GcpLib.manageCloudRouterAdvertisedRoute)


@HYPO
@given(adds=st.lists(specs, min_size=1, max_size=3),
       deletes=st.lists(st.sampled_from(["spoke-onprem-backup", "spoke-partner-euw1"]),
                        unique=True, max_size=2))
def test_route_stage_and_restore_read_as_switched_and_restored(
        GcpLib, emulator, compute, migration, adds, deletes):
    emulator.reset(seed=sample)
    Globals.resetRevertInfo()
    Globals.getRevertInfo()["manage_routes"]["stage1"] = {}
    plan = load_plan()
    plan["manage_routes"]["stage1"] = {"delete": deletes, "add": adds}
    migration.use_plan(plan)

    assert_round_trip(compute, plan, "routes stage1", GcpLib.manageSwitchRoute, "stage1")


flags = st.fixed_dictionaries({"exportCustomRoutes": st.booleans(),
                               "importCustomRoutes": st.booleans()})
SIDES = (("tarn-demo", "spoke-vpc", "spoke-to-transit-a", "tarn-transit/global/networks/transit-a"),
         ("tarn-transit", "transit-a", "transit-a-to-spoke", "tarn-demo/global/networks/spoke-vpc"))


def _done(compute, op, project):
    compute.globalOperations().wait(project=project, operation=op["name"]).execute()


@HYPO
@given(local=flags, remote=st.one_of(st.none(), flags))
def test_peering_stage_and_restore_read_as_switched_and_restored(
        GcpLib, emulator, compute, migration, local, remote):
    """Both sides peered again with drawn settings, or the transit side
    gone before the stage (its pair saved without a remote record)."""
    emulator.reset(seed=sample)
    Globals.resetRevertInfo()
    networks = compute.networks()
    for project, network, name, _ in SIDES:
        _done(compute, networks.removePeering(project=project, network=network,
                                              body={"name": name}).execute(), project)
    for (project, network, name, peer), settings_ in zip(SIDES, (local, remote)):
        if settings_ is not None:
            body = {"networkPeering": dict(settings_, name=name, exchangeSubnetRoutes=True,
                                           network="projects/" + peer)}
            _done(compute, networks.addPeering(project=project, network=network,
                                               body=body).execute(), project)
    plan = load_plan()

    assert_round_trip(compute, plan, "peerings", GcpLib.managePeerings)
