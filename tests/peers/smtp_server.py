#!/usr/bin/python3
"""An SMTP server for the tests, on 127.0.0.1 with an ephemeral port.

Writes the port to READY once it listens, and every message it accepts to OUT/N.json (envelope,
authenticated user and the mechanism it used, whether TLS was on, data). Options: --cert/--key for
STARTTLS (and --implicit-tls for TLS from the first byte), --user/--password to offer AUTH LOGIN and
PLAIN (--plain-only: PLAIN alone), --ntlm to offer AUTH NTLM as well (always refused), --refuse ADDRESS to answer 550 to that
recipient, --stall-data to accept the data and never answer it, --hold-data to record the message and
then never answer it, --silent to accept connections and
never answer, --port to listen on a given port. Stops on SIGTERM.
"""
import argparse
import asyncio
import json
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Saver:
    def __init__(self, out, implicit_tls, refuse, stall):
        self.out = out
        self.implicit_tls = implicit_tls
        self.refuse = refuse
        self.stall = stall
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refuse:
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.stall == "before":
            await asyncio.sleep(3600)
        self.count += 1
        user = session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else None
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "user": user,
            "mechanism": getattr(session, "mechanism", None),
            "tls": self.implicit_tls or session.ssl is not None,
            "data": envelope.original_content.decode("utf-8", "replace"),
        }
        path = os.path.join(self.out, "%d.json" % self.count)
        with open(path + ".tmp", "w") as f:
            json.dump(record, f)
        os.rename(path + ".tmp", path)
        if self.stall == "after":
            await asyncio.sleep(3600)
        return "250 OK"


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--ready", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--implicit-tls", action="store_true")
    p.add_argument("--user")
    p.add_argument("--password")
    p.add_argument("--silent", action="store_true")
    p.add_argument("--ntlm", action="store_true")
    p.add_argument("--plain-only", action="store_true")
    p.add_argument("--refuse", action="append", default=[])
    p.add_argument("--stall-data", action="store_true")
    p.add_argument("--hold-data", action="store_true")
    p.add_argument("--port", type=int, default=0)
    a = p.parse_args()

    loop = asyncio.get_running_loop()
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, stop.set_result, None)

    context = None
    if a.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(a.cert, a.key)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = isinstance(auth_data, LoginPassword) and auth_data.login.decode() == a.user and \
            auth_data.password.decode() == a.password
        if ok:
            session.mechanism = mechanism
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    if a.silent:
        async def hold(reader, writer):
            await stop
        server = await asyncio.start_server(hold, "127.0.0.1", a.port)
    else:
        saver = Saver(a.out, a.implicit_tls, a.refuse, "before" if a.stall_data else "after" if a.hold_data else None)
        if a.ntlm:
            # Offered, so that a client choosing the strongest mechanism would take it; never accepted.
            async def auth_NTLM(server, args):
                return AuthResult(success=False, handled=False)
            saver.auth_NTLM = auth_NTLM

        def factory():
            return SMTP(saver,
                        tls_context=None if a.implicit_tls else context,
                        require_starttls=False,
                        authenticator=authenticator if a.user else None,
                        auth_require_tls=False,
                        auth_exclude_mechanism=["CRAM-MD5"] + (["LOGIN"] if a.plain_only else []))
        server = await loop.create_server(factory, "127.0.0.1", a.port, ssl=context if a.implicit_tls else None)

    port = server.sockets[0].getsockname()[1]
    with open(a.ready + ".tmp", "w") as f:
        f.write(str(port))
    os.rename(a.ready + ".tmp", a.ready)
    await stop
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
