"""How the tests reach the service beside the URL API client (blast_client.py): its request
journal, its WSGI application called without a server, and its connections at the socket."""
import io
import json
import socket
import urllib.error
import urllib.parse
import urllib.request


def journal(url, **filters):
    """(HTTP status, the JSON document) of GET /journal with `filters`, of the service at `url`."""
    address = urllib.parse.urljoin(url, "/journal") + ("?" + urllib.parse.urlencode(filters) if filters else "")
    try:
        with urllib.request.urlopen(address, timeout=30) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


def called(application, address, path, fields=None, method="GET"):
    """(HTTP status, the answer's text) that the WSGI `application` answers a request with
    `fields` (a GET's query or a POSTed form) from a client at `address`."""
    encoded = urllib.parse.urlencode(fields or {}).encode()
    environ = {"REQUEST_METHOD": method, "PATH_INFO": path, "REMOTE_ADDR": address, "REQUEST_URI": path,
               "SERVER_PROTOCOL": "HTTP/1.1", "QUERY_STRING": encoded.decode() if method == "GET" else "",
               "CONTENT_LENGTH": str(len(encoded)), "CONTENT_TYPE": "application/x-www-form-urlencoded",
               "wsgi.input": io.BytesIO(encoded if method == "POST" else b"")}
    status = []
    body = b"".join(application(environ, lambda line, headers: status.append(int(line.split()[0]))))
    return status[0], body.decode("utf-8")


def address(url):
    """(host, port) of the service at `url`."""
    return "127.0.0.1", int(urllib.parse.urlsplit(url).port)


def raw(url, data, close=False):
    """(status code, headers by lower-case name, body bytes) of a request sent as the bytes
    given (or pieces of bytes, one after another), read until the service ends the answers
    (`close`: we end our side after sending)."""
    with socket.create_connection(address(url), timeout=60) as connection:
        for piece in [data] if isinstance(data, bytes) else data:
            connection.sendall(piece)
        if close:
            connection.shutdown(socket.SHUT_WR)
        answer = b"".join(iter(lambda: connection.recv(65536), b""))
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = dict((name.lower(), value.strip()) for name, _, value in (line.partition(":") for line in lines[1:]))
    return int(lines[0].split()[1]), headers, body


def ended_by_the_service(connection, timeout):
    """Whether the service ends `connection` within `timeout` s of silence (what it sends
    before is read and dropped)."""
    connection.settimeout(timeout)
    try:
        while connection.recv(65536):
            pass
        return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False
