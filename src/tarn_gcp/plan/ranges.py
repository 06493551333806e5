"""IPv4 range arithmetic for drafts and reachability: summaries, and sets
of addresses as lists of ranges."""

from __future__ import annotations

import ipaddress


def network(text):
    """The IPv4Network of ``text`` (host bits cleared)."""
    return ipaddress.IPv4Network(str(text), strict=False)


def collapse(ranges):
    """The fewest ranges that cover exactly the addresses of ``ranges``,
    in address order."""
    return list(ipaddress.collapse_addresses(network(r) for r in ranges))


def subtract(ranges, minus):
    """The addresses of ``ranges`` that ``minus`` does not cover, as the
    fewest ranges."""
    left = collapse(ranges)
    for cut in collapse(minus):
        kept = []
        for piece in left:
            if not piece.overlaps(cut):
                kept.append(piece)
            elif not piece.subnet_of(cut):
                kept.extend(piece.address_exclude(cut))
        left = kept
    return collapse(left)


def summarize(ranges, length=None):
    """(summary, added): the exact summary of ``ranges`` (the fewest ranges
    covering the same addresses); with ``length``, every range longer than
    /length widened to its /length network first, and ``added`` the
    addresses that widening adds (else [])."""
    exact = collapse(ranges)
    if length is None:
        return exact, []
    wide = collapse(r if r.prefixlen <= length else r.supernet(new_prefix=length)
                    for r in exact)
    return wide, subtract(wide, exact)


def texts(ranges):
    return [str(r) for r in ranges]
