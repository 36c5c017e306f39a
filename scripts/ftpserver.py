#!/usr/bin/python3
"""Throw-away FTP test server on 127.0.0.1 (Debian's python3-pyftpdlib).

One process serves any of plain FTP, explicit FTPS (AUTH TLS before log-in)
and implicit FTPS (TLS from the first byte), each on its own port, from one
folder, for one user and, if asked, anonymous log-in. It listens on the
loopback address only and prints "READY" once every listener is bound.

    /usr/bin/python3 scripts/ftpserver.py --root DIR --user U --password P \
        [--ftp PORT] [--ftps PORT] [--implicit PORT] [--anonymous] [--cert PEM]

Without --cert a self-signed certificate is made with openssl inside DIR's
parent folder. Stop it with SIGTERM to its process id.
"""

import argparse
import logging
import os
import signal
import subprocess
import sys
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer


class DataChannel(TLS_DTPHandler):
    # pyftpdlib closes a data channel that turns readable before the transfer
    # command arrived; a TLS client starts its handshake right away, so keep
    # the channel open while that handshake runs.
    def readable(self):
        if self._ssl_accepting:
            return True
        return super().readable()


class ExplicitHandler(TLS_FTPHandler):
    dtp_handler = DataChannel
    tls_control_required = True
    tls_data_required = True
    auth_failed_timeout = 0


class ImplicitHandler(ExplicitHandler):
    # TLS from the first byte: the greeting follows the handshake.
    def handle(self):
        self.secure_connection(self.ssl_context)

    def handle_ssl_established(self):
        FTPHandler.handle(self)


class PlainHandler(FTPHandler):
    auth_failed_timeout = 0


def make_certificate(path):
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                    '-subj', '/CN=127.0.0.1', '-keyout', path, '-out', path],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--root', required=True)
    parser.add_argument('--user', required=True)
    parser.add_argument('--password', required=True)
    parser.add_argument('--ftp', type=int, default=0)
    parser.add_argument('--ftps', type=int, default=0)
    parser.add_argument('--implicit', type=int, default=0)
    parser.add_argument('--anonymous', action='store_true')
    parser.add_argument('--cert')
    args = parser.parse_args()

    root = os.path.abspath(args.root)
    os.makedirs(root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, root, perm='elradfmwMT')
    if args.anonymous:
        warnings.simplefilter('ignore')  # anonymous write access is the point here
        authorizer.add_anonymous(root, perm='elradfmwMT')

    handlers = []
    if args.ftp:
        handlers.append((args.ftp, PlainHandler))
    if args.ftps or args.implicit:
        cert = args.cert or os.path.join(os.path.dirname(root), 'server.pem')
        if not os.path.exists(cert):
            make_certificate(cert)
        ExplicitHandler.certfile = cert
        if args.ftps:
            handlers.append((args.ftps, ExplicitHandler))
        if args.implicit:
            handlers.append((args.implicit, ImplicitHandler))
    if not handlers:
        parser.error('no port given')

    servers = []
    for port, handler in handlers:
        handler.authorizer = authorizer
        handler.passive_ports = None
        handler.masquerade_address = None
        handler.banner = 'quillary test server'
        servers.append(FTPServer(('127.0.0.1', port), handler))

    # Connections and failed log-ins go to stderr (pyftpdlib masks passwords),
    # so tests can count the attempts a client made.
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format='%(message)s')
    signal.signal(signal.SIGTERM, lambda *unused: sys.exit(0))
    print('READY', flush=True)
    try:
        IOLoop.instance().loop()
    finally:
        for server in servers:
            server.close_all()


if __name__ == '__main__':
    main()
