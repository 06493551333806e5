"""Helpers shared by the emulator tests."""

SPOKE = "https://www.googleapis.com/compute/v1/projects/tarn-demo/global/networks/spoke-vpc"


def finish(compute, op, project=None):
    """Polls an operation with wait until DONE, as callers of the API do;
    returns the final record and the number of wait calls."""
    project = project or op["selfLink"].split("/")[6]
    ops = compute.globalOperations()
    if "region" in op:
        region = op["region"].rsplit("/", 1)[1]
        poll = lambda: compute.regionOperations().wait(  # noqa: E731
            project=project, region=region, operation=op["name"]).execute()
    else:
        poll = lambda: ops.wait(project=project, operation=op["name"]).execute()  # noqa: E731
    for count in range(1, 50):
        op = poll()
        if op["status"] == "DONE":
            return op, count
    raise AssertionError("operation never finished: %r" % op)


def peerings(compute, project, network):
    body = compute.networks().get(project=project, network=network).execute()
    return {p["name"]: p for p in body.get("peerings", [])}
