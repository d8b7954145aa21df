#!/usr/bin/python3
"""A TLS server on a loopback port for the close tests of the TLS layer.

Each connection: the handshake (Python's ssl over a plain socket through
memory BIOs, so the server decides exactly what goes on the wire), then the
bytes of --reply after the first "\\r\\n\\r\\n" received, then
  --end notify: close_notify, then the TCP close;
  --end cut:    the TCP close without close_notify.
Then it reads what the client still sends and appends one line to --log:
"notify" when the client sent close_notify, "cut" when its stream ended
without one, "timeout" when nothing ended it within the wait.
"""
import argparse
import socket
import ssl

# Longest wait for the client at any step: a client under test answers in
# far less; a lost one must not hold the server.
WAIT_SECONDS = 10


def pump_out(sock, out):
    data = out.read()
    if data:
        sock.sendall(data)


def pump_in(sock, inc):
    data = sock.recv(65536)
    if not data:
        inc.write_eof()
        return False
    inc.write(data)
    return True


def serve(conn, ctx, args):
    conn.settimeout(WAIT_SECONDS)
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(inc, out, server_side=True)
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            pump_out(conn, out)
            if not pump_in(conn, inc):
                return "no handshake"
    pump_out(conn, out)
    # A client that ends before its request is complete ends the same way
    # as after the reply.
    request = b""
    while b"\r\n\r\n" not in request:
        try:
            request += tls.read(65536)
        except ssl.SSLZeroReturnError:
            return "notify"
        except ssl.SSLWantReadError:
            pump_out(conn, out)
            if not pump_in(conn, inc):
                return "cut"
        except ssl.SSLError:
            return "cut"
    tls.write(args.reply.encode())
    pump_out(conn, out)
    if args.end == "notify":
        try:
            tls.unwrap()
        except ssl.SSLError:
            pass
        pump_out(conn, out)
    try:
        conn.shutdown(socket.SHUT_WR)
    except OSError:
        # A client that has read the reply may close before this: its close
        # with our close_notify still unread resets the connection, and
        # what it sent before the reset is still to be read below.
        pass
    # What the client does at its end.
    while True:
        try:
            if not tls.read(65536):
                return "notify"
        except ssl.SSLZeroReturnError:
            return "notify"
        except ssl.SSLWantReadError:
            try:
                if not pump_in(conn, inc):
                    return "cut"
            except socket.timeout:
                return "timeout"
            except OSError:
                return "cut"
        except ssl.SSLError:
            return "cut"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--end", choices=["notify", "cut"], required=True)
    ap.add_argument("--reply", required=True)
    ap.add_argument("--log", required=True)
    args = ap.parse_args()
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", args.port))
    srv.listen(8)
    print("tls_peer listening on 127.0.0.1:%d" % args.port, flush=True)
    while True:
        conn, _ = srv.accept()
        with conn:
            try:
                result = serve(conn, ctx, args)
            except (OSError, ssl.SSLError) as e:
                result = "error " + str(e)
        with open(args.log, "a") as f:
            f.write(result + "\n")


if __name__ == "__main__":
    main()
