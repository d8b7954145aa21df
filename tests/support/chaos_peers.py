#!/usr/bin/python3
"""Chaos peers for the long runs of the address check: one process serving the
echo page over HTTP, MX queries over UDP and SMTP, each on a loopback port of
its own choosing. Run with /usr/bin/python3:

    /usr/bin/python3 chaos_peers.py --seed SEED --events FILE [--host 127.0.0.1]

Every request, query or session draws one behaviour from a random generator
keyed by the seed and by what the client asked for, so a run replays exactly
from its seed whatever the timing:
  echo   the request path "/c<N>/GetMyIP.pl" names check N;
  DNS    the queried domain "n<N>r<I>.test" names check N and recipient I;
  SMTP   a session belongs to the domain most recently queried (the client
         asks for the exchanger just before it connects).

Each draw, and each message whose data arrived whole, is appended to FILE as
one line of tab-separated fields, each percent-encoded (bytes outside 0x21 to
0x7E and "%" become %XX), flushed before the client is answered:
  http  <tag> <behaviour> <expected address or "-" for none>
  dns   <tag> <behaviour> <"mx" when the reply names an exchanger, else "-">
  smtp  <tag> <behaviour> <"accept" when the message must be accepted, else "-">
  close <tag> kept -      (a kept echo connection was closed after its reply)
  mail  <tag> <reverse path> <recipients joined by ","> <data> <reply code or "reset">
"<expected address>" is what the rule for the echo page gives: the text
between "BEGINIP" and "ENDIP", trimmed when it holds a control character and
refused when one is still inside; "-" for a reply that fails or lacks a marker.
It then prints "chaos_peers seed=S http=P dns=Q smtp=R" once it listens.
SIGTERM stops it.
"""

import argparse
import asyncio
import random
import signal
import socket
import struct
import sys

# The echo page's replies may be no longer than this (the program's cap).
ECHO_BODY_CAP = 64 * 1024
# A trickled byte is sent this often: inside any read bound, yet the whole
# reply takes far longer than an exchange deadline of a second.
TRICKLE_PAUSE = 0.02
# A greeting that never ends adds a line this often, for the same reason.
ENDLESS_PAUSE = 0.005
# Bytes of text in the megabyte-long 250 reply.
MEGABYTE = 1024 * 1024
# A wrong or stray datagram comes this long before the real reply.
STRAY_LEAD = 0.01
# Datagrams of a flood with a wrong id: this often, for this long, which
# outlasts any check's bounds, so a wait restarted by each one shows.
FLOOD_PAUSE = 0.02
FLOOD_TIME = 5.0
# The parts of a reply sent in pieces are this far apart.
PIECE_PAUSE = 0.003
# Largest request head the echo server reads.
MAX_REQUEST = 16 * 1024

ECHO = [  # behaviour, weight
    ("good", 6), ("different", 6), ("no_markers", 2), ("reversed", 1),
    ("control", 2), ("past_cap", 2), ("lying_length", 2), ("chunked_garbage", 2),
    ("reset_mid_header", 2), ("trickle", 0.25), ("silence", 0.5), ("not_found", 2),
    ("redirect", 2)]
DNS = [
    ("good_mx", 10), ("no_answer", 1), ("nxdomain", 1), ("servfail", 1),
    ("truncated", 1), ("wrong_id", 0.5), ("wrong_id_then_good", 1), ("wrong_id_flood", 0.5),
    ("other_port", 0.5),
    ("other_port_then_good", 1), ("pointer_loop", 1), ("big_2k", 1), ("oversize", 1),
    ("silence", 0.5)]
SMTP = [
    ("clean", 10), ("fail", 6), ("reset_after_data", 1), ("stall", 0.5),
    ("endless_greeting", 0.5), ("megabyte_250", 1)]
# The steps of a session, in order; "fail" picks one ("helo": EHLO and HELO
# both refused), "stall" one the client always reaches.
STEPS = ["greeting", "ehlo", "helo", "rset", "mail", "rcpt", "data", "dot"]
STALL_STEPS = ["greeting", "ehlo", "rset", "mail", "rcpt", "data", "dot"]
# Codes a failing step answers with.
FAIL_CODES = [421, 450, 451, 452, 500, 501, 502, 550, 552, 554]


def enc(field):
    if isinstance(field, str):
        field = field.encode("utf-8", "surrogateescape")
    return "".join(chr(b) if 0x21 <= b <= 0x7E and b != 0x25 else "%%%02X" % b
                   for b in field)


def pick(rng, table):
    return rng.choices([n for n, _ in table], [w for _, w in table])[0]


class Peers:
    def __init__(self, seed, events, host):
        self.seed = seed
        self.events = open(events, "a", encoding="ascii")
        self.host = host
        self.draws = {}  # (kind, tag) -> how many draws so far
        self.current = "10.0.0.1"  # the address a good echo reply carries
        self.last_dns_tag = "none"

    def rng(self, kind, tag):
        n = self.draws.get((kind, tag), 0)
        self.draws[(kind, tag)] = n + 1
        return random.Random("%d/%s/%s/%d" % (self.seed, kind, tag, n))

    def log(self, *fields):
        self.events.write("\t".join(enc(f) for f in fields) + "\n")
        self.events.flush()

    # ---- echo page -------------------------------------------------------

    async def http(self, reader, writer):
        try:
            while True:
                try:
                    head = await reader.readuntil(b"\r\n\r\n")
                except (asyncio.IncompleteReadError, asyncio.LimitOverrunError,
                        ConnectionError):
                    return
                target = head.split(b"\r\n", 1)[0].split(b" ")
                path = target[1].decode("latin-1") if len(target) > 1 else ""
                parts = path.split("/")
                tag = parts[1] if len(parts) > 2 else "none"
                if not await self.echo(tag, reader, writer):
                    return
        finally:
            writer.transport.abort()

    async def echo(self, tag, reader, writer):
        """Answers one request; returns whether the connection stays open."""
        rng = self.rng("http", tag)
        b = pick(rng, ECHO)
        expect = None
        keep = rng.random() < 0.5
        # How a usable reply travels: whole, or in pieces a moment apart; and
        # whether a kept connection is closed by the server once the reply is
        # out, as an idle server does before the client's next request. The
        # close is logged once sent, so that a run can wait for it: a close that
        # races the next request fails that request by design (nothing
        # retries), which is not what a run looks for.
        pieces = 3 if rng.random() < 0.25 else 1
        # (Not after a body past the cap: the client gives that connection up.)
        drop_kept = keep and rng.random() < 0.3 and b != "past_cap"
        status = "200 OK"
        extra = ""
        if b in ("good", "different"):
            if b == "different":
                self.current = "10.%d.%d.%d" % (rng.randrange(256), rng.randrange(256),
                                                rng.randrange(1, 255))
            pad = rng.choice(["", " ", "  "])
            value = pad + self.current + pad
            body = "<html><body>BEGINIP" + value + "ENDIP</body></html>\n"
            expect = value
        elif b == "no_markers":
            body = rng.choice(["<html>%s</html>" % self.current,
                               "BEGINIP %s" % self.current, "%s ENDIP" % self.current,
                               "beginip %s endip" % self.current])
        elif b == "reversed":
            body = "ENDIP %s BEGINIP" % self.current
        elif b == "control":
            v = rng.randrange(3)
            if v == 0:
                body = "BEGINIP\r\n %s\t\r\nENDIP" % self.current
                expect = self.current
            elif v == 1:
                a = self.current
                body = "BEGINIP%s\x07%sENDIP" % (a[:3], a[3:])
            else:
                body = "BEGINIP\t\r\nENDIP"
        elif b == "past_cap":
            body = "BEGINIP%sENDIP" % self.current + "x" * ECHO_BODY_CAP
            if rng.random() < 0.5:
                # No length: the body runs until the close.
                self.log("http", tag, b + "/unsized", "-")
                writer.write(("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body)
                             .encode("latin-1"))
                await self.drain_quietly(writer)
                return False
        elif b == "lying_length":
            body = "BEGINIP%sENDIP" % self.current
            v = rng.randrange(4)
            if v == 0:  # more declared than sent, then a close
                self.log("http", tag, b + "/long", "-")
                writer.write(("HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s"
                              % (len(body) + 100, body)).encode("latin-1"))
                await self.drain_quietly(writer)
                return False
            if v == 1:  # less declared than sent: the end marker is cut off
                self.log("http", tag, b + "/short", "-")
                writer.write(("HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s"
                              % (len(body) - 3, body)).encode("latin-1"))
                await self.drain_quietly(writer)
                return keep
            length = "-5" if v == 2 else "99999999999999999999"
            self.log("http", tag, b + "/" + length, "-")
            writer.write(("HTTP/1.1 200 OK\r\nContent-Length: %s\r\n\r\n%s"
                          % (length, body)).encode("latin-1"))
            await self.drain_quietly(writer)
            return False
        elif b == "chunked_garbage":
            form, size = rng.choice([("letters", "zz"), ("negative", "-5"),
                                     ("huge", "FFFFFFFFFFFFFFFFFFFFFF"),
                                     ("longer_than_data", "40"), ("short_chunk", "3;x\r\nab")])
            self.log("http", tag, b + "/" + form, "-")
            writer.write(("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n%s\r\n"
                          "BEGINIP%sENDIP\r\n0\r\n\r\n" % (size, self.current))
                         .encode("latin-1"))
            await self.drain_quietly(writer)
            return False
        elif b == "reset_mid_header":
            self.log("http", tag, b, "-")
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Ty")
            await self.drain_quietly(writer)
            self.reset(writer)
            return False
        elif b == "trickle":
            self.log("http", tag, b, "-")
            data = ("HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\nBEGINIP%sENDIP"
                    % self.current).encode("latin-1") + b" " * 200
            for i in range(len(data)):
                if writer.transport.is_closing():
                    break
                writer.write(data[i:i + 1])
                await asyncio.sleep(TRICKLE_PAUSE)
            return False
        elif b == "silence":
            self.log("http", tag, b, "-")
            return await self.wait_for_close(reader)
        elif b == "not_found":
            status = "404 Not Found"
            body = "BEGINIP%sENDIP" % self.current
        elif b == "redirect":
            status = "302 Found"
            extra = "Location: /%s/GetMyIP.pl\r\n" % tag
            body = "BEGINIP%sENDIP" % self.current
        if pieces > 1:
            b += "/pieces"
        if drop_kept:
            b += "/kept_then_closed"
        self.log("http", tag, b, "-" if expect is None else expect)
        raw = body.encode("latin-1")
        close = "" if keep else "Connection: close\r\n"
        data = ("HTTP/1.1 %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\n%s%s\r\n"
                % (status, len(raw), extra, close)).encode("latin-1") + raw
        await self.write_in_pieces(writer, data, pieces, rng, drop_kept)
        if drop_kept:
            self.log("close", tag, "kept", "-")
        return keep and not drop_kept

    @staticmethod
    async def write_in_pieces(writer, data, pieces, rng, then_close=False):
        """Writes data in `pieces` parts cut at random, a moment apart; with
        then_close, the end of the stream follows the last part at once."""
        cuts = sorted(rng.randrange(1, len(data)) for _ in range(pieces - 1))
        start = 0
        for cut in cuts + [len(data)]:
            writer.write(data[start:cut])
            if cut == len(data) and then_close:
                writer.write_eof()
            await Peers.drain_quietly(writer)
            if cut < len(data):
                await asyncio.sleep(PIECE_PAUSE)
            start = cut

    @staticmethod
    async def drain_quietly(writer):
        try:
            await writer.drain()
        except ConnectionError:
            pass

    @staticmethod
    def reset(writer):
        sock = writer.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
        writer.transport.abort()

    @staticmethod
    async def wait_for_close(reader):
        """Holds a connection open, answering nothing, until the client leaves."""
        try:
            while await reader.read(4096):
                pass
        except ConnectionError:
            pass
        return False

    # ---- DNS -------------------------------------------------------------

    def dns(self, data, addr, sock, other):
        if len(data) < 12:
            return
        qid = struct.unpack("!H", data[:2])[0]
        # The question: labels up to the zero byte, then type and class.
        i, labels = 12, []
        while i < len(data) and data[i] != 0 and len(labels) < 64:
            n = data[i]
            labels.append(data[i + 1:i + 1 + n].decode("latin-1"))
            i += 1 + n
        question = data[12:i + 5]
        # An address query follows an MX query that named no exchanger (the
        # implicit MX): these domains have no address either, so it is
        # answered with nothing, outside the draw and the event log.
        if data[i + 1:i + 3] == b"\x00\x01":
            sock.sendto(self.dns_reply(qid, question, 0, []), addr)
            return
        name = ".".join(labels)
        tag = name.split(".")[0] if name else "none"
        self.last_dns_tag = tag
        rng = self.rng("dns", tag)
        b = pick(rng, DNS)
        good = self.dns_reply(qid, question, 0, [(10, None)])
        mx = b in ("good_mx", "wrong_id_then_good", "other_port_then_good", "big_2k")
        self.log("dns", tag, b, "mx" if mx else "-")
        if b == "good_mx":
            sock.sendto(good, addr)
        elif b == "no_answer":
            sock.sendto(self.dns_reply(qid, question, 0, []), addr)
        elif b == "nxdomain":
            sock.sendto(self.dns_reply(qid, question, 3, []), addr)
        elif b == "servfail":
            sock.sendto(self.dns_reply(qid, question, 2, []), addr)
        elif b == "truncated":
            sock.sendto(good[:rng.randrange(len(question) + 12, len(good) - 1)], addr)
        elif b in ("wrong_id", "wrong_id_then_good"):
            sock.sendto(self.dns_reply(qid ^ 0x5A5A, question, 0, [(10, None)]), addr)
            if b == "wrong_id_then_good":
                asyncio.get_running_loop().call_later(STRAY_LEAD, sock.sendto, good, addr)
        elif b == "wrong_id_flood":
            wrong = self.dns_reply(qid ^ 0x5A5A, question, 0, [(10, None)])
            loop = asyncio.get_running_loop()
            for k in range(int(FLOOD_TIME / FLOOD_PAUSE)):
                loop.call_later(k * FLOOD_PAUSE, self.send_quietly, sock, wrong, addr)
        elif b in ("other_port", "other_port_then_good"):
            other.sendto(good, addr)
            if b == "other_port_then_good":
                asyncio.get_running_loop().call_later(STRAY_LEAD, sock.sendto, good, addr)
        elif b == "pointer_loop":
            sock.sendto(self.dns_reply(qid, question, 0, [(10, "loop")]), addr)
        elif b == "big_2k":
            answers = [(10, None)]
            reply = self.dns_reply(qid, question, 0, answers)
            while len(reply) < 2048:
                answers.append((20, None))
                reply = self.dns_reply(qid, question, 0, answers)
            sock.sendto(reply, addr)
        elif b == "oversize":
            answers = [(10, None)] * 600
            sock.sendto(self.dns_reply(qid, question, 0, answers), addr)
        # silence: nothing

    @staticmethod
    def send_quietly(sock, data, addr):
        try:
            sock.sendto(data, addr)
        except OSError:
            pass

    @staticmethod
    def dns_reply(qid, question, rcode, answers):
        """A reply with the question and MX answers (preference, form). The
        exchanger is 127.0.0.1; form "loop" makes its name a pointer to itself."""
        head = struct.pack("!HHHHHH", qid, 0x8180 | rcode, 1, len(answers), 0, 0)
        out = bytearray(head + question)
        for pref, form in answers:
            out += b"\xc0\x0c" + struct.pack("!HHI", 15, 1, 60)
            if form == "loop":
                at = len(out) + 2 + 2  # RDLENGTH, preference, then the name
                rdata = struct.pack("!H", pref) + struct.pack("!H", 0xC000 | at)
            else:
                rdata = struct.pack("!H", pref) + b"\x03127\x010\x010\x011\x00"
            out += struct.pack("!H", len(rdata)) + rdata
        return bytes(out)

    # ---- SMTP ------------------------------------------------------------

    async def smtp(self, reader, writer):
        tag = self.last_dns_tag
        rng = self.rng("smtp", tag)
        b = pick(rng, SMTP)
        step = rng.choice(STEPS if b == "fail" else STALL_STEPS)
        code = rng.choice(FAIL_CODES)
        name = b
        if b in ("fail", "stall"):
            name = "%s/%s" % (b, step)
            if b == "fail":
                name += "/%d" % code
        elif b == "megabyte_250":
            step = rng.choice(["ehlo", "mail", "rcpt", "dot"])
            name = "%s/%s" % (b, step)
        # The client reads no reply to RSET and falls back to HELO when EHLO
        # fails, so only a failure at those two steps still lets the message
        # through.
        accept = b == "clean" or (b == "fail" and step in ("ehlo", "rset"))
        self.log("smtp", tag, name, "accept" if accept else "-")
        try:
            await self.smtp_session(reader, writer, tag, b, step, code, rng)
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        finally:
            writer.transport.abort()

    async def smtp_session(self, reader, writer, tag, b, step, code, rng):
        # Replies of some sessions come in two pieces a moment apart.
        pieces = 2 if rng.random() < 0.25 else 1
        async def reply(at, text):
            """Answers at step `at`: the drawn fault if it is this step."""
            if b == "fail" and (at == step or (at, step) == ("ehlo", "helo")):
                text = "%d chaos says no at %s" % (code, at)
            elif b == "stall" and at == step:
                await self.wait_for_close(reader)
                raise ConnectionError
            elif b == "megabyte_250" and at == step:
                writer.write(b"250 " + b"x" * MEGABYTE + b"\r\n")
                await writer.drain()
                return
            data = text.encode("latin-1") + b"\r\n"
            await self.write_in_pieces(writer, data, pieces, rng)

        if b == "endless_greeting":
            while not writer.transport.is_closing():
                writer.write(b"220-chaos greeting goes on\r\n")
                await writer.drain()
                await asyncio.sleep(ENDLESS_PAUSE)
            return
        await reply("greeting", "220 chaos ESMTP")
        sender, rcpts = "", []
        while True:
            line = (await reader.readuntil(b"\r\n"))[:-2]
            verb = line.split(b" ", 1)[0].upper()
            if verb == b"EHLO":
                await reply("ehlo", "250-chaos\r\n250 8BITMIME")
            elif verb == b"HELO":
                await reply("helo", "250 chaos")
            elif verb == b"RSET":
                sender, rcpts = "", []
                await reply("rset", "250 ok")
            elif verb == b"MAIL":
                sender = self.path(line)
                await reply("mail", "250 ok")
            elif verb == b"RCPT":
                rcpts.append(self.path(line))
                await reply("rcpt", "250 ok")
            elif verb == b"DATA":
                await reply("data", "354 go ahead")
                if b == "fail" and step == "data":
                    continue
                data = await reader.readuntil(b"\r\n.\r\n")
                data = data[:-3]
                # Dot-stuffing removed (RFC 5321 4.5.2).
                data = b"\r\n".join(ln[1:] if ln.startswith(b".") else ln
                                    for ln in data.split(b"\r\n"))
                mtag = sender.rsplit("@", 1)[-1].split(".")[0]
                if b == "reset_after_data":
                    self.log("mail", mtag, sender, ",".join(rcpts), data, "reset")
                    self.reset(writer)
                    raise ConnectionError
                result = "250"
                if b == "fail" and step == "dot":
                    result = str(code)
                elif b == "stall" and step == "dot":
                    result = "stall"
                elif b == "megabyte_250" and step == "dot":
                    result = "250-megabyte"
                self.log("mail", mtag, sender, ",".join(rcpts), data, result)
                await reply("dot", "250 queued")
            elif verb == b"QUIT":
                writer.write(b"221 bye\r\n")
                await writer.drain()
                return
            else:
                writer.write(b"500 what\r\n")
                await writer.drain()

    @staticmethod
    def path(line):
        text = line.decode("latin-1")
        start, end = text.find("<"), text.rfind(">")
        return text[start + 1:end] if 0 <= start < end else ""


class Dns(asyncio.DatagramProtocol):
    def __init__(self, peers, other):
        self.peers = peers
        self.other = other
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        self.peers.dns(data, addr, self.transport, self.other)


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seed", type=int, required=True)
    p.add_argument("--events", required=True)
    p.add_argument("--host", default="127.0.0.1")
    a = p.parse_args()
    if not a.host.startswith("127."):
        sys.exit("chaos_peers serves loopback only")
    peers = Peers(a.seed, a.events, a.host)
    loop = asyncio.get_running_loop()
    http = await asyncio.start_server(peers.http, a.host, 0, limit=MAX_REQUEST)
    smtp = await asyncio.start_server(peers.smtp, a.host, 0, limit=2 * MEGABYTE)
    other, _ = await loop.create_datagram_endpoint(asyncio.DatagramProtocol,
                                                   local_addr=(a.host, 0))
    dns, _ = await loop.create_datagram_endpoint(lambda: Dns(peers, other),
                                                 local_addr=(a.host, 0))
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, stop.set_result, None)
    print("chaos_peers seed=%d http=%d dns=%d smtp=%d" % (
        a.seed, http.sockets[0].getsockname()[1], dns.get_extra_info("sockname")[1],
        smtp.sockets[0].getsockname()[1]), flush=True)
    await stop


if __name__ == "__main__":
    asyncio.run(main())
