"""Reaching Compute: the target a run talks to (Google Cloud, an emulator
URL, an emulator started here) with its credentials and service object
(``target``), the transport that retries transient refusals
(``transport``), the regional operations of router patches followed to
the end (``operations``), the requests the commands share (``compute``),
and the run state bound for gcplib (``state``)."""
