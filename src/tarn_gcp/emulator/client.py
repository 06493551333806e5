"""A real googleapiclient Compute v1 service aimed at an emulator."""

import threading

API_PATH = "/compute/v1/"
# The collections the tool and its tests use.
_COLLECTIONS = ("networks", "subnetworks", "routes", "routers", "instances", "globalOperations",
                "regionOperations", "zoneOperations")
_document = []
_document_lock = threading.Lock()


def _compute_document():
    """The Compute v1 discovery document shipped with the client library,
    parsed once per process and shared by the services built here.  The
    client library completes its method descriptions in place when it first
    builds their methods, the same way each time: that is done here at once
    for the collections used here, so that services built later (in any
    thread) only read their part of it."""
    with _document_lock:
        if not _document:
            import json

            from googleapiclient import discovery, discovery_cache

            document = json.loads(discovery_cache.get_static_doc("compute", "v1"))
            service = discovery.build_from_document(
                document, http=object(), client_options={"api_endpoint": "http://localhost/"})
            for name in _COLLECTIONS:
                resource = getattr(service, name)()
                for method in dir(resource):
                    if not method.startswith("_"):
                        getattr(resource, method)
            _document.append(document)
        return _document[0]


def endpoint_url(target):
    """The API endpoint for client_options: the emulator's base URL ending in
    /compute/v1/, from an Emulator, its root URL or its base URL."""
    url = getattr(target, "url", target)
    if not isinstance(url, str):
        raise TypeError("expected an Emulator or a URL, got %r" % (target,))
    url = url.rstrip("/")
    if not url.endswith(API_PATH.rstrip("/")):
        url += API_PATH.rstrip("/")
    return url + "/"


def build_service(target, http=None):
    """Builds ``discovery.build("compute", "v1")`` from the discovery document
    shipped with the client library, sending every request to ``target`` (an
    Emulator or a URL).

    Without ``http`` the service uses anonymous credentials over a plain
    httplib2 transport that ignores proxy settings (the emulator is local).
    A caller's ``http`` (for example a retrying transport) is used as given.
    """
    from googleapiclient import discovery

    if http is None:
        import google_auth_httplib2
        from google.auth.credentials import AnonymousCredentials
        from googleapiclient.http import build_http

        transport = build_http()
        transport.proxy_info = None
        http = google_auth_httplib2.AuthorizedHttp(AnonymousCredentials(), http=transport)
    return discovery.build_from_document(_compute_document(), http=http,
                                         client_options={"api_endpoint": endpoint_url(target)})
