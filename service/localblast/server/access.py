"""Who may see what others sent: anyone who reaches the service may submit a search and read it
by its RID, as at NCBI; the journal and the lists of searches, which show other people's queries
and e-mail addresses, answer loopback clients only unless the service shares them."""
import ipaddress


def is_loopback(address):
    """Whether `address` (an IP address as text) is this machine's own: 127.0.0.0/8, ::1, or
    an IPv4 loopback address mapped into IPv6."""
    try:
        parsed = ipaddress.ip_address(address.split("%", 1)[0])
    except ValueError:
        return False
    mapped = getattr(parsed, "ipv4_mapped", None)
    return (mapped or parsed).is_loopback


def host_address(text):
    """The IP address `text` names, as text (IPv6 without brackets); ValueError otherwise."""
    return str(ipaddress.ip_address(text[1:-1] if text.startswith("[") and text.endswith("]") else text))


def url_host(address):
    return "[%s]" % address if ":" in address else address
