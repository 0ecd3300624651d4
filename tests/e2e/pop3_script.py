#!/usr/bin/env python3
"""A scripted POP3 server for the end-to-end run: one connection on
ADDRESS port 110, +OK to the greeting, USER and PASS, STAT_REPLY to the
third command, "+OK n id-n" to a fourth (UIDL n); writes every byte the
client sent to RECORD once the client has closed (or after 60 s). With
--silent for STAT_REPLY it accepts and never answers at all."""
import socket
import sys

address, stat_reply, record = sys.argv[1], sys.argv[2], sys.argv[3]
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    listener.bind((address, 110))
except OSError as error:
    sys.exit(f"pop3_script: {address} port 110 is already taken by another program ({error})")
listener.listen(1)
print("listening", flush=True)
listener.settimeout(60)
connection, _ = listener.accept()
connection.settimeout(60)
count = stat_reply.split()[1] if len(stat_reply.split()) > 1 else "0"
replies = [b"+OK ready\r\n", b"+OK\r\n", b"+OK\r\n", stat_reply.encode() + b"\r\n",
           f"+OK {count} id-{count}\r\n".encode()]
if stat_reply == "--silent":
    replies = []
else:
    connection.sendall(replies.pop(0))
received = b""
try:
    while True:
        data = connection.recv(4096)
        if not data:
            break
        received += data
        while replies and received.count(b"\n") >= 5 - len(replies):
            connection.sendall(replies.pop(0))
except socket.timeout:
    pass
with open(record, "wb") as out:
    out.write(received)
