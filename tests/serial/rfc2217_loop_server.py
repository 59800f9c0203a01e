#!/usr/bin/python3
# pyserial's RFC 2217 server side over a loop:// port, for one client: prints
# the TCP port it listens on (127.0.0.1), serves one connection, and ends
# when the client goes. On loop://, CTS follows RTS and DSR follows DTR.
import socket
import threading

import serial
import serial.rfc2217


class Writer:
    def __init__(self, conn):
        self.conn = conn
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.conn.sendall(data)


port = serial.serial_for_url("loop://", timeout=0.05)
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(1)
print(server.getsockname()[1], flush=True)
conn, _ = server.accept()
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
writer = Writer(conn)
manager = serial.rfc2217.PortManager(port, writer)
done = threading.Event()


def loop_back():
    while not done.is_set():
        data = port.read(4096)
        if data:
            writer.write(b"".join(manager.escape(data)))
        manager.check_modem_lines()


threading.Thread(target=loop_back, daemon=True).start()
try:
    while True:
        data = conn.recv(4096)
        if not data:
            break
        port.write(b"".join(manager.filter(data)))
except OSError:
    pass
done.set()
