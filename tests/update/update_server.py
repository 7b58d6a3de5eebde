#!/usr/bin/python3
"""HTTPS file server on loopback for the update tests.

usage: update_server.py CERT KEY ROOT PORTFILE
Serves files below ROOT. A path that starts with /truncated/ announces the
whole file, sends half of it and closes the connection.
"""
import http.server
import os
import ssl
import sys

cert, key, root, portfile = sys.argv[1:5]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def setup(self):
        # The handshake happens here, in the connection's own thread, so a
        # client that goes away half-way never stalls the accepting thread.
        self.request.settimeout(10)
        self.request.do_handshake()
        super().setup()

    def do_GET(self):
        truncated = self.path.startswith('/truncated/')
        name = self.path[len('/truncated'):] if truncated else self.path
        path = os.path.normpath(os.path.join(root, name.lstrip('/')))
        if not path.startswith(root) or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, 'rb') as f:
            body = f.read()
        self.send_response(200)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if truncated:
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.connection.close()
        else:
            self.wfile.write(body)


server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
with open(portfile + '.tmp', 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(portfile + '.tmp', portfile)
server.serve_forever()
