"""List requests: the `filter` expression and paging with maxResults and
pageToken, as the Compute Engine API does them.

Filters are a conjunction of comparisons, optionally parenthesised and
joined by AND or blanks: ``network: "URL"``, ``network = "URL"``,
``network="URL"``, ``name != "x"``, ``priority < 1000`` and the older
``name eq regexp`` / ``ne`` forms.  ``=`` and ``:`` compare for equality
(``*`` in the value is a wildcard), ``eq``/``ne`` match a whole regular
expression.  Field names may be dotted (``bgp.asn``); a list field matches
when one element does.  OR and NOT are not supported and are refused.
"""

import base64
import binascii
import fnmatch
import json
import re

from .model import invalid

_TOKEN = re.compile(r'''\s*(?:(\()|(\))|"((?:[^"\\]|\\.)*)"|'((?:[^'\\]|\\.)*)'|(!=|<=|>=|=|:|<|>)|([^\s()=:!<>"']+))''')
MAX_RESULTS = 500


def _tokens(text):
    pos, out = 0, []
    text = text.strip()
    while pos < len(text):
        if out and out[-1] == ("word", "eq") or out and out[-1] == ("word", "ne"):
            # The older form takes the rest of the term as a regular expression.
            match = re.compile(r"[^\s\"']\S*").match(text, pos)
            if match:
                out.append(("value", match.group()))
                pos = match.end()
                while pos < len(text) and text[pos].isspace():
                    pos += 1
                continue
        match = _TOKEN.match(text, pos)
        if not match or match.end() == pos:
            raise invalid("filter", text, "The filter expression is malformed.")
        lpar, rpar, dq, sq, op, word = match.groups()
        if lpar:
            out.append(("(", lpar))
        elif rpar:
            out.append((")", rpar))
        elif dq is not None or sq is not None:
            raw = dq if dq is not None else sq
            out.append(("value", re.sub(r"\\(.)", r"\1", raw)))
        elif op:
            out.append(("op", op))
        else:
            out.append(("word", word))
        pos = match.end()
        while pos < len(text) and text[pos].isspace():
            pos += 1
    return out


def parse_filter(text):
    """A predicate over resource dicts for a filter expression (None or
    blank: everything matches)."""
    if not text or not text.strip():
        return lambda resource: True
    tokens = [t for t in _tokens(text) if t[0] not in "()"]
    terms = []
    i = 0
    while i < len(tokens):
        kind, value = tokens[i]
        if kind == "word" and value == "AND" and terms:
            i += 1
            continue
        if kind != "word" or value in ("OR", "NOT") or i + 2 >= len(tokens):
            raise invalid("filter", text, "The filter expression is malformed.")
        op_kind, op = tokens[i + 1]
        if op_kind == "word" and op in ("eq", "ne"):
            op_kind = "op"
        if op_kind != "op" or tokens[i + 2][0] not in ("value", "word"):
            raise invalid("filter", text, "The filter expression is malformed.")
        terms.append(_term(value, op, tokens[i + 2][1], text))
        i += 3
    return lambda resource: all(term(resource) for term in terms)


def _values(resource, field):
    values = [resource]
    for part in field.split("."):
        nxt = []
        for value in values:
            if isinstance(value, dict) and part in value:
                item = value[part]
                nxt.extend(item if isinstance(item, list) else [item])
        values = nxt
    return [v for v in values if not isinstance(v, (dict, list))]


def _text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _term(field, op, wanted, text):
    if op in ("eq", "ne"):
        try:
            pattern = re.compile(wanted)
        except re.error:
            raise invalid("filter", text, "The regular expression is malformed.") from None

        def matches(value):
            return pattern.fullmatch(_text(value)) is not None
    elif op in ("=", ":", "!="):
        def matches(value):
            value = _text(value)
            if "*" in wanted:
                return fnmatch.fnmatchcase(value, wanted)
            return value == wanted
    else:
        try:
            bound = float(wanted)
        except ValueError:
            raise invalid("filter", text, "Only numbers can be compared with %s." % op) from None
        compare = {"<": float.__lt__, "<=": float.__le__, ">": float.__gt__, ">=": float.__ge__}[op]

        def matches(value):
            try:
                return compare(float(value), bound)
            except (TypeError, ValueError):
                return False
    negate = op in ("!=", "ne")
    return lambda resource: any(matches(v) for v in _values(resource, field)) != negate


def page(items, query, kind, collection_path, self_link):
    """One page of a list response.

    ``query`` holds the request's query parameters (str values).  Pages are
    cut from the filtered list in name order; the token carries the offset
    and the filter it was made for.
    """
    keep = parse_filter(query.get("filter"))
    items = [item for item in items if keep(item)]
    order = query.get("orderBy")
    if order == "creationTimestamp desc":
        items.sort(key=lambda r: r.get("creationTimestamp", ""), reverse=True)
    elif order not in (None, "", "name"):
        raise invalid("orderBy", order, "Sorting is supported by name or "
                      "'creationTimestamp desc' only.")
    raw = query.get("maxResults", "")
    try:
        size = int(raw) if raw != "" else MAX_RESULTS
    except ValueError:
        size = -1
    if not 0 <= size <= MAX_RESULTS:
        raise invalid("maxResults", raw, "Must be between 0 and %d." % MAX_RESULTS)
    size = size or MAX_RESULTS
    start = 0
    token = query.get("pageToken")
    if token:
        try:
            state = json.loads(base64.urlsafe_b64decode(token.encode()))
            start = int(state["o"])
            if state.get("f") != (query.get("filter") or "") or start < 0:
                raise ValueError
        except (ValueError, KeyError, TypeError, binascii.Error):
            raise invalid("pageToken", token, "The page token is not valid.") from None
    response = {"kind": kind, "id": collection_path}
    chosen = items[start:start + size]
    if chosen:
        response["items"] = chosen
    if start + size < len(items):
        state = {"o": start + size, "f": query.get("filter") or ""}
        response["nextPageToken"] = base64.urlsafe_b64encode(
            json.dumps(state, separators=(",", ":")).encode()).decode()
    response["selfLink"] = self_link
    return response
