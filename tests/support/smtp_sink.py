#!/usr/bin/python3
"""A recording SMTP sink for the peer tests, built on Debian's aiosmtpd.

Run with Debian's own interpreter (/usr/bin/python3), which has python3-aiosmtpd:

    /usr/bin/python3 smtp_sink.py --port PORT --dir DIR [--reject-rcpt ADDR]...
        [--tls starttls|implicit --cert PEM --key PEM]

It listens on 127.0.0.1:PORT and accepts every message. For each message N
(counted from 1) it writes, before answering the final "250" to DATA:
  DIR/msg-N.eml   the data bytes exactly as received, dot-stuffing removed
  DIR/msg-N.meta  "helo <name>", "from <address>", "mailopt <option>",
                  "rcpt <address>" lines (one per recipient), "tls yes" or
                  "tls no" (whether the message came encrypted), written last
                  and renamed into place, so a reader never sees half a message.
Every byte a client sends is appended to DIR/transcript.log as "C: " lines and
every reply as "S: " lines (line ends removed), with "== connection N" marking
each new session and "== tls" the moment a STARTTLS handshake completed.
With --tls starttls the server announces STARTTLS (RFC 3207); with --tls
implicit every connection begins with the TLS handshake (RFC 8314). "smtp_sink listening" on stdout tells the harness it is up.
SIGTERM stops the server.
"""

import argparse
import asyncio
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP

# Given explicitly: without it aiosmtpd asks the resolver for the machine's
# fully qualified name, and the tests must not query anything off loopback.
HOSTNAME = "sink.corvale.test"


class Recorder:
    def __init__(self, directory, reject, plain_only=None):
        self.directory = directory
        # An EHLO keyword line the sink announces only before STARTTLS, so
        # that a client can be seen to forget what it learned in clear.
        self.plain_only = plain_only
        self.reject = set(a.lower() for a in reject)
        self.messages = 0
        self.connections = 0
        self.transcript = open(os.path.join(directory, "transcript.log"), "ab", buffering=0)

    def note(self, prefix, data):
        # One transcript line per line received or sent, its CRLF (or bare LF)
        # removed; a chunk that ends mid-line continues on the next line.
        pieces = data.split(b"\n")
        if pieces[-1] == b"":
            pieces.pop()
        for piece in pieces:
            if piece.endswith(b"\r"):
                piece = piece[:-1]
            self.transcript.write(prefix + piece + b"\n")

    # aiosmtpd handler hooks

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.plain_only and server.transport.get_extra_info("ssl_object") is None:
            responses.insert(len(responses) - 1, "250-" + self.plain_only)
        return responses

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.reject:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages += 1
        base = os.path.join(self.directory, "msg-%d" % self.messages)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or b"")
        lines = ["helo " + (session.host_name or "")]
        lines.append("from " + (envelope.mail_from or ""))
        lines += ["mailopt " + o for o in envelope.mail_options]
        lines += ["rcpt " + r for r in envelope.rcpt_tos]
        encrypted = server.transport.get_extra_info("ssl_object") is not None
        lines.append("tls " + ("yes" if encrypted else "no"))
        with open(base + ".tmp", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(base + ".tmp", base + ".meta")
        return "250 OK: queued as %d" % self.messages


class RecordingSMTP(SMTP):
    """aiosmtpd's server with every byte in and every reply out noted down."""

    def __init__(self, recorder, **kwargs):
        super().__init__(recorder, hostname=HOSTNAME, **kwargs)
        self.recorder = recorder

    def connection_made(self, transport):
        # aiosmtpd calls this once more when a STARTTLS handshake completes,
        # on the same connection.
        if self._original_transport is not None:
            self.recorder.transcript.write(b"== tls\n")
        else:
            self.recorder.connections += 1
            self.recorder.transcript.write(b"== connection %d\n" % self.recorder.connections)
        super().connection_made(transport)

    def data_received(self, data):
        self.recorder.note(b"C: ", data)
        super().data_received(data)

    async def push(self, status):
        text = status.encode("utf-8") if isinstance(status, str) else status
        self.recorder.note(b"S: ", text)
        await super().push(status)


def argument_parser():
    """The options every sink shares: where to listen and where to record."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--dir", required=True)
    parser.add_argument("--reject-rcpt", action="append", default=[])
    parser.add_argument("--tls", choices=["starttls", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--plain-only-extension")
    return parser


def tls_context(args):
    """The server's TLS context from --cert and --key, or None without --tls."""
    if not getattr(args, "tls", None):
        return None
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    return context


def serve(args, make_session, implicit_tls=None):
    """Listens on args.host:args.port, one session from make_session() per
    connection, until SIGTERM or SIGINT; with implicit_tls (a server context)
    every connection starts with the TLS handshake. The "listening" line on
    stdout is the harness's sign that the server is ready."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(make_session, host=args.host, port=args.port, ssl=implicit_tls))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    print("smtp_sink listening on %s:%d" % (args.host, args.port), flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
    return 0


def main():
    args = argument_parser().parse_args()
    recorder = Recorder(args.dir, args.reject_rcpt, args.plain_only_extension)
    context = tls_context(args)
    starttls = context if args.tls == "starttls" else None
    implicit = context if args.tls == "implicit" else None
    return serve(
        args,
        lambda: RecordingSMTP(recorder, enable_SMTPUTF8=True, tls_context=starttls),
        implicit_tls=implicit)


if __name__ == "__main__":
    sys.exit(main())
