"""The one-line control protocol of the stand-in peers (board and servers):
a test sends commands ending in a newline and reads one answer line each.

A command may answer later (command(line) returns None, the peer calls
answer_line when the work is done): the lines the test sent after it wait in
the connection's buffer, so that answers keep the order of the commands.

A test hands a stand-in the sockets it bound itself (inherited_socket): a port
only picked by the test and bound later by the child could be taken in between
by another program. Every socket is on loopback (127.0.0.0/8): a stand-in
never reaches beyond this machine."""
import argparse
import ipaddress
import socket

LOOPBACK_NET = ipaddress.ip_network("127.0.0.0/8")


def serve_control(controls, sock, command):
    """Reads what the control connection `sock` sent, answers each whole line
    with command(line), and forgets the connection when the test closes it.
    `controls` maps each open control socket to its unfinished line."""
    try:
        data = sock.recv(4096)
    except OSError:  # reset by a client (or a probe) that closed at once
        data = b""
    if not data:
        del controls[sock]
        sock.close()
        return
    controls[sock] += data
    serve_lines(controls, sock, command)


def serve_lines(controls, sock, command):
    """Answers the whole lines buffered for `sock`; False when one of them
    answers later (the rest stay buffered until serve_lines is called again)."""
    while sock in controls and b"\n" in controls[sock]:
        line, rest = controls[sock].split(b"\n", 1)
        controls[sock] = rest
        answer = command(line.decode())
        if answer is None:
            return False
        answer_line(controls, sock, answer)
    return True


def answer_line(controls, sock, answer):
    """Sends one answer line; a client gone without reading it is forgotten."""
    try:
        sock.sendall((answer + "\n").encode())
    except OSError:
        controls.pop(sock, None)
        sock.close()


def inherited_socket(kind):
    """argparse type of a --*-fd option: the inherited descriptor as a socket,
    of `kind` (socket.SOCK_DGRAM, or SOCK_STREAM, which is then listened on)
    and bound to a loopback address (a board of its own address has its
    discovery socket there); any other descriptor is refused with its reason."""
    name = "UDP" if kind == socket.SOCK_DGRAM else "TCP"

    def parse(text):
        try:
            sock = socket.socket(fileno=int(text))
        except (ValueError, OSError) as e:
            raise argparse.ArgumentTypeError("%s: not an inherited socket (%s)" % (text, e))
        on_loopback = sock.family == socket.AF_INET and ipaddress.ip_address(sock.getsockname()[0]) in LOOPBACK_NET
        if sock.type != kind or not on_loopback:
            sock.detach()
            raise argparse.ArgumentTypeError("%s: not a %s socket bound to a loopback address (%s)" % (text, name, LOOPBACK_NET))
        if kind == socket.SOCK_STREAM:
            sock.listen(4)
        return sock
    return parse


def loopback_address(text):
    """argparse type of an address option: a dotted IPv4 address on 127.0.0.0/8, else refused with its reason."""
    try:
        address = ipaddress.IPv4Address(text)
    except ValueError:
        address = None
    if address is None or address not in LOOPBACK_NET:
        raise argparse.ArgumentTypeError("%s: not a loopback address (%s)" % (text, LOOPBACK_NET))
    return str(address)


def add_socket_option(parser, name, kind, what, port_on="127.0.0.1"):
    """The required choice between --NAME-port P (the stand-in binds
    port_on:P itself) and --NAME-fd N (a socket its parent bound)."""
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--%s-port" % name, type=int, help="%s port on %s" % (what, port_on))
    group.add_argument("--%s-fd" % name, type=inherited_socket(kind), help="%s: an inherited socket bound on %s" % (what, LOOPBACK_NET))


def option_socket(inherited, kind, port, address="127.0.0.1"):
    """The socket of a --NAME-fd option when one was given, else one bound
    here to address:port (--NAME-port, SO_REUSEADDR as by hand)."""
    if inherited is not None:
        return inherited
    sock = socket.socket(socket.AF_INET, kind)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((address, port))
    return sock
