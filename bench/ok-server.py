# ok-server.py REPLY_BYTES: answers each connection's first line with REPLY_BYTES bytes ("OK",
# filler, line feed; at least 3), one connection at a time, never changing state; prints its port.
import socket
import sys

size = max(3, int(sys.argv[1]))
reply = b"OK" + b"x" * (size - 3) + b"\n"
listener = socket.create_server(("127.0.0.1", 0), backlog=64)
print(listener.getsockname()[1], flush=True)
while True:
    client = listener.accept()[0]
    try:  # the client closes first, so this side never lingers in TIME_WAIT
        request = b""
        while b"\n" not in request and len(request) < 256 and (got := client.recv(256)):
            request += got
        client.sendall(reply)
        client.shutdown(socket.SHUT_WR)
        while client.recv(256):
            pass
    except OSError:  # a client that reset
        pass
    client.close()
