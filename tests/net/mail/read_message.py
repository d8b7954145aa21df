#!/usr/bin/python3
"""Reads a mail message with Python's email package and prints what it found,
one item per line, texts as hex of their UTF-8 (or raw) bytes:

    H <name> <hex of the decoded header value>
    A <header> <hex of display name> <hex of address>    (each mailbox)
    L <longest raw header line, in columns>
    P <content type> <hex of filename or -> <hex of decoded bytes> <hex of text or ->
    D <defect class name>                                 (each defect found)

Usage: /usr/bin/python3 read_message.py FILE
"""

import sys
from email import policy
from email.parser import BytesParser


def hx(s):
    if s is None:
        return "-"
    if isinstance(s, str):
        s = s.encode("utf-8", "surrogateescape")
    return s.hex() or "-"


def main():
    raw = open(sys.argv[1], "rb").read()
    msg = BytesParser(policy=policy.default).parsebytes(raw)
    head = raw.split(b"\r\n\r\n", 1)[0]
    print("L %d" % max(len(l) for l in head.split(b"\r\n")))
    for name in ("From", "To", "Cc", "Reply-To", "Subject", "Organization", "Date",
                 "X-Priority", "Content-Type"):
        value = msg[name]
        if value is None:
            continue
        # A header folded right after its colon reads with a leading blank,
        # which is not part of the value (RFC 5322 2.2.3 unfolding).
        print("H %s %s" % (name, hx(str(value).lstrip(" \t"))))
        if name in ("From", "To", "Cc", "Reply-To"):
            for a in value.addresses:
                print("A %s %s %s" % (name, hx(a.display_name), hx(a.addr_spec)))
    for d in msg.defects:
        print("D %s" % type(d).__name__)
    for part in msg.walk():
        for d in part.defects:
            print("D %s" % type(d).__name__)
        if part.is_multipart():
            continue
        data = part.get_payload(decode=True)
        text = None
        if part.get_content_maintype() == "text":
            text = part.get_content()
        print("P %s %s %s %s" % (part.get_content_type(), hx(part.get_filename()),
                                 hx(data), hx(text)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
