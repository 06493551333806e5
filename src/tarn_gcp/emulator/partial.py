"""Partial responses: the standard ``fields`` parameter trims an answer to
the fields it names.

    items/name                 the name of every item
    items(name,network)        two fields of every item
    kind,items/bgp(asn)        nested paths and sub-selections, mixed
    items/*/subnetworks(name)  ``*`` for any key (the scopes of an
                               aggregated list)

Lists are trimmed element by element; a field named that the answer lacks
is left out.
"""

import re

from .errors import invalid

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|\*")


class _Reader:
    def __init__(self, text):
        self.text = text
        self.pos = 0

    def fail(self):
        raise invalid("fields", self.text, "Invalid field selection.")

    def peek(self):
        while self.pos < len(self.text) and self.text[self.pos] == " ":
            self.pos += 1
        return self.text[self.pos:self.pos + 1]

    def selection(self):
        """fields := item ("," item)*"""
        tree = {}
        while True:
            _merge(tree, self.item())
            if self.peek() != ",":
                return tree
            self.pos += 1

    def item(self):
        """item := name ("/" name)* ["(" fields ")"]"""
        path = [self.name()]
        while self.peek() == "/":
            self.pos += 1
            path.append(self.name())
        sub = None
        if self.peek() == "(":
            self.pos += 1
            sub = self.selection()
            if self.peek() != ")":
                self.fail()
            self.pos += 1
        for name in reversed(path):
            sub = {name: sub}
        return sub

    def name(self):
        self.peek()
        match = _NAME.match(self.text, self.pos)
        if not match:
            self.fail()
        self.pos = match.end()
        return match.group()


def _merge(tree, other):
    """Adds selection ``other`` to ``tree`` (None: the whole field)."""
    for key, sub in other.items():
        if key in tree and (tree[key] is None or sub is None):
            tree[key] = None
        elif key in tree:
            _merge(tree[key], sub)
        else:
            tree[key] = sub


def parse(text):
    """The selection tree of a ``fields`` value: {name: subtree or None}."""
    reader = _Reader(text)
    tree = reader.selection()
    if reader.peek() != "":
        reader.fail()
    return tree


def trim(value, tree):
    """``value`` cut down to the selection ``tree``."""
    if tree is None:
        return value
    if isinstance(value, list):
        return [trim(item, tree) for item in value]
    if not isinstance(value, dict):
        return value
    out = {}
    for key, sub in tree.items():
        if key == "*":
            for name, item in value.items():
                kept = trim(item, sub)
                if name in out and isinstance(out[name], dict) and isinstance(kept, dict):
                    out[name].update(kept)
                else:
                    out[name] = kept
        elif key in value:
            out[key] = trim(value[key], sub)
    return out
