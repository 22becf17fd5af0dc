"""The one-line control protocol of the stand-in peers (board and servers):
a test sends commands ending in a newline and reads one answer line each.

A command may answer later (command(line) returns None, the peer calls
answer_line when the work is done): the lines the test sent after it wait in
the connection's buffer, so that answers keep the order of the commands."""


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
