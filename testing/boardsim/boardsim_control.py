"""The one-line control protocol of the stand-in peers (board and servers):
a test sends commands ending in a newline and reads one answer line each."""


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
    while b"\n" in controls[sock]:
        line, rest = controls[sock].split(b"\n", 1)
        controls[sock] = rest
        answer = (command(line.decode()) + "\n").encode()
        try:
            sock.sendall(answer)
        except OSError:  # the client went without reading its answer
            del controls[sock]
            sock.close()
            return
