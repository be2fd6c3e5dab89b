#!/usr/bin/python3
"""The demo's mail server: aiosmtpd with implicit TLS (as on port 465) and
AUTH LOGIN, which prints every alert it receives, one line each:

  mail sink 13:05:10  Server Down!  "IP 127.0.11.5 Is Down!"  to Quell <quell@...>, ...

Listens on 127.0.0.1 at a port the system chooses and writes that port to
--port-file once it listens; stops on SIGTERM or SIGINT.
"""

import argparse
import asyncio
import email
import email.policy
import logging
import signal
import ssl
import sys
import time
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class PrintAlerts:
    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        body = message.get_body(preferencelist=("plain",))
        text = body.get_content().strip() if body is not None else ""
        print('mail sink %s  %s  "%s"  to %s' % (time.strftime("%H:%M:%S"), message["Subject"],
                                                 text, message["To"]), flush=True)
        return "250 Alert received"


def check_login(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user
              and auth_data.password == password)
        return AuthResult(success=ok, handled=False)
    return authenticator


async def serve(args):
    # TLS is the transport's (implicit), which aiosmtpd does not see: its
    # warnings about AUTH without STARTTLS do not apply.
    warnings.filterwarnings("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    loop = asyncio.get_running_loop()
    check = check_login(args.user.encode(), open(args.password_file, "rb").read().strip())

    def session():
        return SMTP(PrintAlerts(), hostname="localhost", authenticator=check, auth_required=True,
                    auth_require_tls=False, loop=loop)

    server = await loop.create_server(session, host="127.0.0.1", port=0, ssl=context)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    with open(args.port_file, "w", encoding="ascii") as f:
        f.write("%d\n" % server.sockets[0].getsockname()[1])
    async with server:
        await stop.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password-file", required=True)
    parser.add_argument("--port-file", required=True)
    asyncio.run(serve(parser.parse_args()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
