#!/usr/bin/python3
"""A real SMTP server for the mail tests: aiosmtpd with implicit TLS.

Listens on 127.0.0.1:PORT (0 or none: a port the system chooses); the TLS
handshake comes first (as on port 465).
AUTH LOGIN (and PLAIN) are offered and required before MAIL; the
authenticator accepts only --user/--password. Every accepted message is
appended to --record as one JSON line:
  {"kind": "message", "helo": ..., "auth_user": ..., "mail_from": ...,
   "rcpt_tos": [...], "data_b64": <DATA bytes after the dot is unstuffed>}
and every finished connection as
  {"kind": "session", "transcript_b64": <every byte the client sent>}.
Prints "READY <port>" once it listens; stops on SIGTERM.
"""

import argparse
import asyncio
import base64
import json
import os
import signal
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

from tls_server_context import tls_context


class Recorder:
    def __init__(self, path):
        self.path = path

    def write(self, entry):
        with open(self.path, "a", encoding="ascii") as f:
            f.write(json.dumps(entry) + "\n")
            f.flush()


class Handler:
    def __init__(self, recorder):
        self.recorder = recorder

    async def handle_DATA(self, server, session, envelope):
        self.recorder.write({
            "kind": "message",
            "helo": session.host_name,
            "auth_user": (session.auth_data.decode("latin-1")
                          if isinstance(session.auth_data, bytes) else session.auth_data),
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "data_b64": base64.b64encode(envelope.original_content).decode("ascii"),
        })
        return "250 Message accepted for delivery"


class Authenticator:
    def __init__(self, user, password):
        # The raw bytes of the command line, whatever their encoding.
        self.user = os.fsencode(user)
        self.password = os.fsencode(password)

    def __call__(self, server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        ok = auth_data.login == self.user and auth_data.password == self.password
        return AuthResult(success=ok, handled=False, auth_data=auth_data.login if ok else None)


class RecordingSMTP(SMTP):
    """Keeps every byte the client sent on this connection."""

    def __init__(self, recorder, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._recorder = recorder
        self._transcript = bytearray()

    def data_received(self, data):
        self._transcript += data
        super().data_received(data)

    def connection_lost(self, exc):
        self._recorder.write({
            "kind": "session",
            "transcript_b64": base64.b64encode(bytes(self._transcript)).decode("ascii"),
        })
        super().connection_lost(exc)


async def serve(args):
    recorder = Recorder(args.record)
    handler = Handler(recorder)
    authenticator = Authenticator(args.user, args.password)
    loop = asyncio.get_running_loop()

    def factory():
        return RecordingSMTP(recorder, handler, hostname="mail.test.example",
                             authenticator=authenticator, auth_required=True,
                             auth_require_tls=False, loop=loop)

    server = await loop.create_server(factory, host="127.0.0.1", port=args.port,
                                      ssl=tls_context(args.cert, args.key))
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    port = server.sockets[0].getsockname()[1]
    print("READY %d" % port, flush=True)
    async with server:
        await stop.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)  # 0: one the system chooses
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--record", required=True)
    asyncio.run(serve(parser.parse_args()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
