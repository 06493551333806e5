"""List requests: the `filter` expression and paging with maxResults and
pageToken, as the Compute Engine API does them.

Two filter languages, which one request may not mix:

* comparisons ``field OP value`` with OP one of ``=``, ``!=``, ``<``, ``>``,
  ``<=``, ``>=`` and ``:`` (has), joined by ``AND``, ``OR`` (which binds
  tighter, as in the API's own example ``(a = 1) OR (a = 2) AND (b = true)``)
  or blanks (AND), negated by ``NOT`` or ``-``, grouped by parentheses.
  Values are quoted strings or bare words; ``*`` in a value is a wildcard
  and ``field:*`` asks whether the field is set.  ``<``/``>`` compare
  numbers as numbers and anything else as text.
* the older regular expression form ``field eq REGEX`` / ``field ne REGEX``
  (quoted or not), alone or as several parenthesised terms, all of which
  must hold.  The RE2 pattern must match the whole value.

Fields may be nested (``bgp.asn``); a list matches when one element does; a
missing field matches nothing (its negations match).  A field that the
listed resource's schema does not have, or anything else this reading does
not understand, is refused with 400 -- never answered with an empty list.
"""

import base64
import binascii
import fnmatch
import json
import re

from .errors import invalid

MAX_RESULTS = 500
_OPS = ("!=", "<=", ">=", "=", ":", "<", ">")
_FIELD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*\Z")


class FilterError(Exception):
    pass


def _refuse(text, why="Invalid list filter expression."):
    return invalid("filter", text, why)


class _Reader:
    """A cursor over the filter text."""

    def __init__(self, text):
        self.text = text
        self.pos = 0

    def blank(self):
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def peek(self):
        self.blank()
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def done(self):
        return self.peek() == ""

    def keyword(self, word):
        """Consumes ``word`` (AND, OR, NOT, eq, ne) when it stands alone."""
        self.blank()
        end = self.pos + len(word)
        if self.text.startswith(word, self.pos) and (
                end == len(self.text) or self.text[end].isspace() or self.text[end] in "()\"'"):
            if word in ("NOT",) and end < len(self.text) and self.text[end] in "\"'":
                return False
            self.pos = end
            return True
        return False

    def word(self):
        """A bare word: up to a blank, a parenthesis, a quote or an operator."""
        self.blank()
        match = re.compile(r"""[^\s()"'=!<>:]+""").match(self.text, self.pos)
        if not match:
            raise FilterError
        self.pos = match.end()
        return match.group()

    def op(self):
        self.blank()
        for op in _OPS:
            if self.text.startswith(op, self.pos):
                self.pos += len(op)
                return op
        return None

    def quoted(self, raw=False):
        """A quoted string; escapes are undone unless ``raw`` (a regular
        expression keeps its backslashes)."""
        quote = self.text[self.pos]
        out, i = [], self.pos + 1
        while i < len(self.text):
            char = self.text[i]
            if char == "\\" and i + 1 < len(self.text):
                nxt = self.text[i + 1]
                out.append(char + nxt if raw and nxt != quote else nxt)
                i += 2
                continue
            if char == quote:
                self.pos = i + 1
                return "".join(out)
            out.append(char)
            i += 1
        raise FilterError

    def value(self):
        """A quoted string, or a bare value up to a blank or a parenthesis."""
        self.blank()
        if self.peek() in ("'", '"'):
            return self.quoted()
        match = re.compile(r"[^\s()]+").match(self.text, self.pos)
        if not match:
            raise FilterError
        self.pos = match.end()
        return match.group()

    def regex(self, nested):
        """The value of an eq/ne term: quoted, or the bare text up to a blank
        (or, inside parentheses, the closing one) outside its own groups."""
        self.blank()
        if self.peek() in ("'", '"'):
            return self.quoted(raw=True)
        if not nested:
            rest = self.text[self.pos:].strip()
            self.pos = len(self.text)
            if not rest:
                raise FilterError
            return rest
        depth, start = 0, self.pos
        while self.pos < len(self.text):
            char = self.text[self.pos]
            if char == "\\":
                self.pos += 2
                continue
            if char.isspace() and depth == 0:
                break
            if char == "(":
                depth += 1
            elif char == ")":
                if depth == 0:
                    break
                depth -= 1
            self.pos += 1
        if self.pos == start:
            raise FilterError
        return self.text[start:self.pos]


def _re2(pattern):
    """An RE2 pattern as Python's re reads it (\\z is \\Z there)."""
    return re.sub(r"(?<!\\)((?:\\\\)*)\\z", r"\1\\Z", pattern)


class _Parser:
    def __init__(self, text, known):
        self.reader = _Reader(text)
        self.known = known
        self.kinds = set()     # "aip" and/or "regex": the two may not be mixed
        self.depth = 0

    def parse(self):
        node = self.conjunction()
        if not self.reader.done():
            raise FilterError
        if len(self.kinds) > 1:
            raise FilterError
        return node

    def conjunction(self):
        terms = [self.disjunction()]
        while True:
            if self.reader.keyword("AND"):
                terms.append(self.disjunction())
            elif self.reader.peek() not in ("", ")"):
                terms.append(self.disjunction())
            else:
                break
        return terms[0] if len(terms) == 1 else ("and", terms)

    def disjunction(self):
        terms = [self.unary()]
        while self.reader.keyword("OR"):
            self.kinds.add("aip")
            terms.append(self.unary())
        return terms[0] if len(terms) == 1 else ("or", terms)

    def unary(self):
        if self.reader.keyword("NOT"):
            self.kinds.add("aip")
            return ("not", self.unary())
        if self.reader.peek() == "-":
            self.reader.pos += 1
            self.kinds.add("aip")
            return ("not", self.unary())
        if self.reader.peek() == "(":
            self.reader.pos += 1
            self.depth += 1
            node = self.conjunction()
            if self.reader.peek() != ")":
                raise FilterError
            self.reader.pos += 1
            self.depth -= 1
            return node
        return self.comparison()

    def comparison(self):
        field = self.reader.word()
        if _FIELD.match(field) is None or field in ("AND", "OR", "NOT"):
            raise FilterError
        if self.known is not None and not self.known(field):
            raise FilterError("Invalid field name '%s'." % field)
        for word in ("eq", "ne"):
            if self.reader.keyword(word):
                self.kinds.add("regex")
                try:
                    pattern = re.compile(_re2(self.reader.regex(self.depth > 0)))
                except re.error:
                    raise FilterError("The regular expression is malformed.") from None
                return ("regex", field, pattern, word == "ne")
        op = self.reader.op()
        if op is None:
            raise FilterError
        self.kinds.add("aip")
        if self.reader.peek() in ("", ")"):
            raise FilterError
        return ("cmp", field, op, self.reader.value())


def _values(resource, field):
    """The values at a dotted field, lists flattened; None when absent."""
    values = [resource]
    for part in field.split("."):
        nxt = []
        for value in values:
            if isinstance(value, dict) and part in value:
                item = value[part]
                nxt.extend(item if isinstance(item, list) else [item])
        values = nxt
    return values


def _text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _number(value):
    if isinstance(value, bool):
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


def _equal(value, wanted):
    if isinstance(value, (dict, list)):
        return False
    left, right = _number(value), _number(wanted)
    if left is not None and right is not None and not isinstance(value, str):
        return left == right
    text = _text(value)
    if "*" in wanted:
        return fnmatch.fnmatchcase(text, wanted.replace("[", "[[]"))
    return text == wanted


def _order(value, op, wanted):
    if isinstance(value, (dict, list)):
        return False
    left, right = _number(value), _number(wanted)
    if left is None or right is None:
        left, right = _text(value), wanted
    return {"<": left < right, "<=": left <= right, ">": left > right,
            ">=": left >= right}[op]


def _holds(node, resource):
    kind = node[0]
    if kind == "and":
        return all(_holds(n, resource) for n in node[1])
    if kind == "or":
        return any(_holds(n, resource) for n in node[1])
    if kind == "not":
        return not _holds(node[1], resource)
    if kind == "regex":
        _, field, pattern, negate = node
        found = any(not isinstance(v, (dict, list)) and pattern.fullmatch(_text(v))
                    for v in _values(resource, field))
        return found != negate
    _, field, op, wanted = node
    values = _values(resource, field)
    if op == ":" and wanted == "*":
        return bool(values)
    if op == ":":
        return any(_equal(v, wanted) or (isinstance(v, dict) and wanted in v) for v in values)
    if op == "=":
        return any(_equal(v, wanted) for v in values)
    if op == "!=":
        return not any(_equal(v, wanted) for v in values)
    return any(_order(v, op, wanted) for v in values)


def parse_filter(text, known=None):
    """A predicate over resource dicts for a filter expression (None or
    blank: everything matches).  ``known(field)`` tells whether a dotted
    field exists for the listed resource; unknown fields are refused."""
    if not text or not text.strip():
        return lambda resource: True
    try:
        node = _Parser(text, known).parse()
    except FilterError as exc:
        raise _refuse(text, str(exc) or "Invalid list filter expression.") from None
    return lambda resource: _holds(node, resource)


def page(items, query, kind, collection_path, self_link, known=None):
    """One page of a list response.

    ``query`` holds the request's query parameters (str values); ``known``
    checks the filter's field names.  Pages are cut from the filtered list
    in name order; the token carries the offset and the filter it was made
    for.
    """
    keep = parse_filter(query.get("filter"), known)
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
