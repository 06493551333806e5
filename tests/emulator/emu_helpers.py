"""Helpers shared by the emulator tests."""

SPOKE = "https://www.googleapis.com/compute/v1/projects/tarn-demo/global/networks/spoke-vpc"


def peerings(compute, project, network):
    body = compute.networks().get(project=project, network=network).execute()
    return {p["name"]: p for p in body.get("peerings", [])}
