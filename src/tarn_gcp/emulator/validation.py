"""Requests checked as Google's API front end checks them, driven by the
Compute v1 discovery document that googleapiclient ships (the one the
emulator's own client is built from).

Nothing here knows a resource: every rule comes from the document.

* The method: the HTTP method and path must be one of the document's; a
  path it does not know is 404, a known path with another HTTP method 405.
* Path parameters must match their ``pattern``.
* Query parameters must be known for the method (or be one of the API's
  global ones) and parse as their type; enums, patterns and ranges hold
  (the range of ``maxResults`` is stated in its description: 0 to 500).
* The body is read against the request schema, recursively through
  ``$ref``: an unknown field is refused with the front end's text
  (``Invalid JSON payload received. Unknown name "zone" at 'route': Cannot
  find field.``, locations written with the proto field names, dotted,
  with list indexes), so are JSON values of the wrong type and enum values
  the schema does not list.  Fields the document marks output-only are
  dropped, as the API ignores them.
* The ``name`` of a resource being created must be an RFC 1035 label.
"""

import functools
import json
import os
import re

from .errors import ApiError, invalid
from .paths import NAME_PATTERN

_OUTPUT_ONLY = re.compile(r"\s*(?:\[output only\]|output only\b)", re.IGNORECASE)
_DESCRIBED_PARAM = re.compile(r"`(\w+)`\s+parameter")
_RANGE_IN_TEXT = re.compile(r"Acceptable values are\s+`?(-?\d+)`?\s+to\s+`?(-?\d+)`?")
_NAME_RE = re.compile(NAME_PATTERN)
_INT_LIMITS = {"int32": (-2 ** 31, 2 ** 31 - 1), "uint32": (0, 2 ** 32 - 1),
               "int64": (-2 ** 63, 2 ** 63 - 1), "uint64": (0, 2 ** 64 - 1)}
_PROTO_TYPES = {("integer", "int32"): "TYPE_INT32", ("integer", "uint32"): "TYPE_UINT32",
                ("string", "int64"): "TYPE_INT64", ("string", "uint64"): "TYPE_UINT64",
                ("number", "float"): "TYPE_FLOAT", ("number", "double"): "TYPE_DOUBLE",
                ("boolean", None): "TYPE_BOOL", ("string", "byte"): "TYPE_BYTES"}
PROTO_PACKAGE = "type.googleapis.com/google.cloud.compute.v1."


def document_path():
    import googleapiclient
    return os.path.join(os.path.dirname(googleapiclient.__file__), "discovery_cache",
                        "documents", "compute.v1.json")


@functools.lru_cache(maxsize=None)
def discovery():
    """The shipped document, read once per process."""
    with open(document_path(), encoding="utf-8") as handle:
        return Discovery(json.load(handle))


def snake(name):
    """The proto field name of a JSON field name (advertisedIpRanges ->
    advertised_ip_ranges)."""
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name).lower()


def payload_error(message, field=None):
    """A refusal of the JSON front end, with its status and field violation."""
    violation = {"description": message}
    if field is not None:
        violation = {"field": field, "description": message}
    return ApiError(400, message, "invalid", status="INVALID_ARGUMENT",
                    details=[{"@type": "type.googleapis.com/google.rpc.BadRequest",
                              "fieldViolations": [violation]}])


def _bad_value(where, proto_type, value):
    return payload_error("Invalid value at '%s' (%s), %s" % (where, proto_type, json.dumps(value)),
                         where)


class Method:
    __slots__ = ("id", "verb", "template", "_regex", "literals", "params", "request",
                 "response", "range_of", "fields", "described")

    def __init__(self, spec):
        self.id = spec["id"]
        self.verb = spec["httpMethod"]
        self.template = spec["path"]
        regex, literals = "", 0
        for segment in re.split(r"({\+?\w+})", self.template):
            match = re.fullmatch(r"{(\+?)(\w+)}", segment)
            if match:
                regex += "(?P<%s>%s)" % (match.group(2), ".+" if match.group(1) else "[^/]+")
            else:
                regex += re.escape(segment)
                literals += len(segment)
        self._regex = regex + r"\Z"
        self.literals = literals
        self.params = spec.get("parameters", {})
        self.request = spec.get("request", {}).get("$ref")
        self.response = spec.get("response", {}).get("$ref")
        self.fields = None     # filled in by Discovery for list methods
        # Query parameters the method's description names though its list
        # lacks them (the aggregated lists' `returnPartialSuccess`): the
        # service takes them, so clients send them.
        self.described = {name: {"type": "boolean", "location": "query"}
                          for name in _DESCRIBED_PARAM.findall(spec.get("description", ""))
                          if name not in self.params}
        self.range_of = {}
        for name, param in self.params.items():
            low, high = param.get("minimum"), param.get("maximum")
            found = _RANGE_IN_TEXT.search(param.get("description", ""))
            if found:
                low = low if low is not None else found.group(1)
                high = high if high is not None else found.group(2)
            if low is not None or high is not None:
                self.range_of[name] = (None if low is None else int(low),
                                       None if high is None else int(high))


    @property
    def regex(self):
        return re.compile(self._regex)   # compiled on first use, then from re's cache


class Discovery:
    """The methods and schemas of one discovery document."""

    def __init__(self, document):
        self.schemas = document["schemas"]
        self.global_params = document.get("parameters", {})
        self.methods = {}
        self._tree = {}          # path segments -> {literal or None: subtree, "": [methods]}
        self._open_ended = []
        stack = [document]
        while stack:
            node = stack.pop()
            for sub in node.get("resources", {}).values():
                stack.append(sub)
                for spec in sub.get("methods", {}).values():
                    method = Method(spec)
                    self.methods[method.id] = method
                    if "filter" in method.params:
                        method.fields = self.listed_fields(method)
                    if "{+" in method.template:
                        self._open_ended.append(method)
                        continue
                    node = self._tree
                    for segment in method.template.split("/"):
                        key = None if segment.startswith("{") else segment
                        node = node.setdefault(key, {})
                    node.setdefault("", []).append(method)
        self._open_ended.sort(key=lambda m: -m.literals)

    # ------------------------------------------------------------ routing

    def match(self, verb, tail, shown=None):
        """(Method, path parameters) for a path below the service path;
        ApiError 404 or 405 (naming ``shown``, by default ``tail``) when
        there is none."""
        shown = shown or tail
        other = None
        for method in self._candidates(self._tree, tail.split("/"), 0) + self._open_ended:
            match = method.regex.match(tail)
            if match:
                if method.verb == verb:
                    return method, match.groupdict()
                other = other or method
        if other is not None:
            raise ApiError(405, "Method %s is not allowed on %s." % (verb, shown))
        raise ApiError(404, "The requested URL %s was not found." % shown, "notFound")

    def listed_fields(self, method):
        """For a list method: a function telling whether a dotted field name
        exists in the listed resource's schema (map keys are free)."""
        response = self.schemas.get(method.response or "", {})
        items = response.get("properties", {}).get("items", {})
        item = self._resolve(items.get("items", items)) if items else None
        if item is None:
            return None
        if "additionalProperties" in item:
            # An aggregated list: a map of scopes to lists of the resource.
            scoped = self._resolve(item["additionalProperties"]).get("properties", {})
            lists = [spec for spec in scoped.values() if spec.get("type") == "array"]
            if len(lists) != 1:
                return None
            item = self._resolve(lists[0]["items"])

        @functools.lru_cache(maxsize=256)
        def known(field):
            spec = item
            for part in field.split("."):
                while spec.get("type") == "array":
                    spec = self._resolve(spec.get("items", {}))
                if "additionalProperties" in spec and part not in spec.get("properties", {}):
                    return True
                spec = spec.get("properties", {}).get(part)
                if spec is None:
                    return False
                spec = self._resolve(spec)
            return True
        return known

    def _candidates(self, node, segments, index):
        """The methods whose template fits the segments, literal segments
        before parameters."""
        if index == len(segments):
            return list(node.get("", []))
        found = []
        if segments[index] in node and segments[index] != "":
            found += self._candidates(node[segments[index]], segments, index + 1)
        if None in node and segments[index]:
            found += self._candidates(node[None], segments, index + 1)
        return found

    # ---------------------------------------------------------- requests

    def check(self, method, params, query, body):
        """Checks a request routed to ``method``; returns the body with
        output-only fields left out (None when there is none)."""
        for name, value in params.items():
            self._check_param(method, name, value, method.params.get(name, {}))
        for name, value in query.items():
            spec = method.params.get(name) or method.described.get(name)
            if spec is None or spec.get("location") != "query":
                spec = self.global_params.get(name)
            if spec is None:
                raise payload_error(
                    'Invalid JSON payload received. Unknown name "%s": Cannot bind query '
                    "parameter. Field '%s' could not be found in request message." % (name, name))
            self._check_param(method, name, value, spec)
        unknown = []
        if method.request is None:
            if body:
                self._object({"id": "Empty", "properties": {}}, body, "", unknown)
            cleaned = None
        elif body is None:
            raise ApiError(400, "Required field 'resource' not specified", "required")
        else:
            root = snake(method.request[:1].lower() + method.request[1:])
            cleaned = self._object(self.schemas[method.request], body, root, unknown)
        if unknown:
            message = "\n".join(text for text, _ in unknown)
            error = payload_error(message)
            error.details[0]["fieldViolations"] = [{"field": where, "description": text}
                                                   for text, where in unknown]
            raise error
        if method.id.endswith(".insert") and method.request is not None and "name" in \
                self.schemas[method.request].get("properties", {}):
            name = cleaned.get("name")
            if not isinstance(name, str) or _NAME_RE.fullmatch(name) is None:
                raise invalid("resource.name", "" if name is None else name,
                              "Must be a match of regex '(?:%s)'" % NAME_PATTERN)
        return cleaned

    def _check_param(self, method, name, value, spec):
        kind, fmt = spec.get("type", "string"), spec.get("format")
        where = snake(name)
        if kind == "integer" or fmt in ("int64", "uint64"):
            if re.fullmatch(r"-?[0-9]+", value) is None:
                raise _bad_value(where, _PROTO_TYPES.get((kind, fmt), "TYPE_INT64"), value)
            number = int(value)
            low, high = _INT_LIMITS.get(fmt, (None, None))
            if low is not None and not low <= number <= high:
                raise _bad_value(where, _PROTO_TYPES.get((kind, fmt), "TYPE_INT64"), value)
            low, high = method.range_of.get(name, (None, None))
            if low is not None and number < low:
                raise invalid(name, value, "Must be greater than or equal to %d" % low)
            if high is not None and number > high:
                raise invalid(name, value, "Must be less than or equal to %d" % high)
        elif kind == "boolean":
            if value.lower() not in ("true", "false") and value not in ("1", "0"):
                raise _bad_value(where, "TYPE_BOOL", value)
        elif kind == "number":
            try:
                float(value)
            except ValueError:
                raise _bad_value(where, _PROTO_TYPES.get((kind, fmt), "TYPE_DOUBLE"),
                                 value) from None
        if "enum" in spec and value not in spec["enum"]:
            raise invalid(name, value, "Must be one of [%s]" % ", ".join(spec["enum"]))
        pattern = spec.get("pattern")
        if pattern is not None and re.fullmatch(pattern, value) is None:
            raise invalid(name, value, "Must be a match of regex '%s'" % pattern)

    # -------------------------------------------------------------- bodies

    def _resolve(self, spec):
        return self.schemas[spec["$ref"]] if "$ref" in spec else spec

    def _object(self, schema, value, where, unknown, field_path="resource"):
        """A JSON object read as ``schema``: unknown names collected into
        ``unknown`` as (message, location), output-only fields dropped."""
        if not isinstance(value, dict):
            raise _bad_value(where, PROTO_PACKAGE + schema.get("id", "Object"), value)
        properties = schema.get("properties", {})
        extra = schema.get("additionalProperties")
        out = {}
        for index, (key, item) in enumerate(value.items()):
            spec = properties.get(key)
            if spec is None and extra is not None:
                out[key] = self._value(extra, item, "%s[%d].value" % (where, index), unknown,
                                       "%s.%s" % (field_path, key), key)
                continue
            if spec is None:
                at = " at '%s'" % where if where else ""
                unknown.append(('Invalid JSON payload received. Unknown name "%s"%s: '
                                "Cannot find field." % (key, at), where))
                continue
            if _OUTPUT_ONLY.match(spec.get("description", "")):
                continue
            inner = "%s.%s" % (where, snake(key)) if where else snake(key)
            out[key] = self._value(spec, item, inner, unknown, "%s.%s" % (field_path, key), key)
        return out

    def _value(self, spec, value, where, unknown, field_path, key):
        if value is None:
            return None          # null leaves a field unset (a patch clears it)
        spec = self._resolve(spec) if "$ref" in spec else spec
        kind, fmt = spec.get("type"), spec.get("format")
        if kind == "array":
            if not isinstance(value, list):
                item = self._resolve(spec.get("items", {}))
                raise _bad_value(where, self._proto_type(item), value)
            return [self._value(spec.get("items", {}), item, "%s[%d]" % (where, i), unknown,
                                "%s[%d]" % (field_path, i), key)
                    for i, item in enumerate(value)]
        if isinstance(value, list):
            parent, _, _ = where.rpartition(".")
            raise payload_error('Invalid JSON payload received. Unknown name "%s" at \'%s\': '
                                "Proto field is not repeating, cannot start list."
                                % (key, parent or where), where)
        if kind == "object" or "properties" in spec:
            return self._object(spec, value, where, unknown, field_path)
        proto_type = self._proto_type(spec)
        if kind == "boolean":
            ok = isinstance(value, bool)
        elif kind == "integer" or fmt in ("int64", "uint64"):
            number = value
            if isinstance(value, str) and re.fullmatch(r"-?[0-9]+", value):
                number = int(value)
            elif isinstance(value, float) and value.is_integer():
                number = int(value)
            low, high = _INT_LIMITS.get(fmt, (-2 ** 63, 2 ** 64))
            ok = (isinstance(number, int) and not isinstance(number, bool)
                  and low <= number <= high)
        elif kind == "number":
            ok = isinstance(value, (int, float)) and not isinstance(value, bool) or (
                isinstance(value, str) and value in ("NaN", "Infinity", "-Infinity"))
        else:
            ok = isinstance(value, str)
        if not ok:
            raise _bad_value(where, proto_type, value)
        if "enum" in spec and value not in spec["enum"]:
            raise invalid(field_path, value, "Must be one of [%s]" % ", ".join(spec["enum"]))
        return value

    @staticmethod
    def _proto_type(spec):
        if "id" in spec:
            return PROTO_PACKAGE + spec["id"]
        return _PROTO_TYPES.get((spec.get("type"), spec.get("format")), "TYPE_STRING")
