#!/usr/bin/env python3
"""Loopback HTTP and HTTPS test server for the public-IP check, both on one port.

The first byte of each connection tells TLS (0x16, a handshake record) from plain HTTP, so a
client that tries https:// and then http:// on the same host:port reaches both. What each
scheme answers comes from a JSON file that is read again for every request:
  {"https": {"status": 200, "body": "...", "mode": "answer"},
   "http":  {...}}
mode "answer" replies, "hang" accepts and never replies, "close" drops the connection.
Every request is appended to the log file as "scheme path user-agent".
Prints the port on the first line of standard output once it listens.
"""
import json
import socket
import ssl
import sys
import threading
import time

config_path, log_path, cert, key = sys.argv[1:5]

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
log_lock = threading.Lock()


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data.decode("latin-1")


def handle(conn):
    try:
        conn.settimeout(30)
        first = conn.recv(1, socket.MSG_PEEK)
        if not first:
            return
        scheme = "http"
        if first[0] == 0x16:
            scheme = "https"
            try:
                conn = context.wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError):
                return
        with open(config_path) as f:
            conf = json.load(f).get(scheme, {"mode": "close"})
        mode = conf.get("mode", "answer")
        if mode == "hang":
            time.sleep(60)
            return
        request = read_request(conn)
        if request is None:
            return
        lines = request.split("\r\n")
        path = lines[0].split(" ")[1] if len(lines[0].split(" ")) > 1 else ""
        agent = ""
        for line in lines[1:]:
            if line.lower().startswith("user-agent:"):
                agent = line.split(":", 1)[1].strip()
        with log_lock, open(log_path, "a") as f:
            f.write("%s %s %s\n" % (scheme, path, agent))
        if mode == "close":
            return
        body = conf.get("body", "").encode("utf-8")
        status = int(conf.get("status", 200))
        head = "HTTP/1.1 %d X\r\nContent-Type: text/html\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (
            status, len(body))
        conn.sendall(head.encode("latin-1") + body)
    except OSError:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def main():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    print(server.getsockname()[1], flush=True)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


main()
