"""Refusals as the Compute Engine API reports them."""

_REASONS = {400: "invalid", 401: "required", 403: "forbidden", 404: "notFound",
            405: "httpMethodNotAllowed", 409: "alreadyExists", 412: "conditionNotMet",
            429: "rateLimitExceeded", 500: "backendError", 503: "backendError"}
_OP_CODES = {400: "INVALID_USAGE", 403: "PERMISSION_DENIED", 404: "RESOURCE_NOT_FOUND",
             409: "RESOURCE_ALREADY_EXISTS", 412: "CONDITION_NOT_MET",
             429: "RATE_LIMIT_EXCEEDED", 500: "INTERNAL_ERROR", 503: "SERVICE_UNAVAILABLE"}


class ApiError(Exception):
    """A refusal as the API reports it: an HTTP status and a message."""

    def __init__(self, code, message, reason=None, domain="global", op_code=None, *,
                 status=None, details=None):
        super().__init__(message)
        self.code = int(code)
        self.message = message
        self.reason = reason or _REASONS.get(self.code, "backendError")
        self.domain = domain
        self.op_code = op_code or _OP_CODES.get(self.code, "INTERNAL_ERROR")
        self.status = status          # e.g. "INVALID_ARGUMENT", as the JSON front end says
        self.details = details

    def body(self):
        """The JSON error body of an HTTP response."""
        error = {"code": self.code, "message": self.message,
                 "errors": [{"message": self.message, "domain": self.domain,
                             "reason": self.reason}]}
        if self.status is not None:
            error["status"] = self.status
        if self.details is not None:
            error["details"] = self.details
        return {"error": error}

    def __repr__(self):
        return "ApiError(%d, %r)" % (self.code, self.message)


def not_found(path):
    return ApiError(404, "The resource '%s' was not found" % path, "notFound")


def already_exists(path):
    return ApiError(409, "The resource '%s' already exists" % path, "alreadyExists")


def invalid(field, value, detail):
    return ApiError(400, "Invalid value for field '%s': '%s'. %s" % (field, value, detail),
                    "invalid")


def bad_request(message):
    return ApiError(400, message, "badRequest")
