"""A real googleapiclient Compute v1 service aimed at an emulator."""

API_PATH = "/compute/v1/"


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
    return discovery.build("compute", "v1", http=http, static_discovery=True,
                           cache_discovery=False,
                           client_options={"api_endpoint": endpoint_url(target)})
