#!/usr/bin/python3
"""Decodes DNS replies with dnspython, a second decoder beside Corvale's own.

Reads hex-encoded replies, one per line, from stdin and prints for each one
line per question ("Q name type class") and per record ("AN|NS|AR name type
class ttl fields..."), then a line "--". Names are printed without the final
dot (the root as the empty text), fields as the resolver stores them.
"""
import sys
import types

import dns.message
import dns.name
import dns.rdata
import dns.rdtypes.ANY.RP
import dns.rdtypes.nsbase


# dnspython leaves the RFC 1035 mailbox types undecoded; they share their wire
# shape with types it knows (a name; two names like RP).
class MB(dns.rdtypes.nsbase.NSBase):
    pass


class MG(dns.rdtypes.nsbase.NSBase):
    pass


class MR(dns.rdtypes.nsbase.NSBase):
    pass


class MINFO(dns.rdtypes.ANY.RP.RP):
    pass


for cls, number in ((MB, 7), (MG, 8), (MR, 9), (MINFO, 14)):
    dns.rdata.register_type(types.SimpleNamespace(**{cls.__name__: cls}), number, cls.__name__)


def name(n):
    return "" if n == dns.name.root else n.to_text(omit_final_dot=True)


def fields(rd):
    t = rd.rdtype
    if t == 1:
        return [rd.address]
    if t in (2, 5, 12):
        return [name(rd.target)]
    if t in (7, 8, 9):
        return [name(rd.target)]
    if t == 6:
        return [name(rd.mname), name(rd.rname), rd.serial, rd.refresh, rd.retry, rd.expire,
                rd.minimum]
    if t == 11:
        bitmap = (bytes(rd.bitmap) + bytes(8))[:8]
        return [rd.address, rd.protocol, bitmap.hex()]
    if t == 13:
        return [rd.cpu.decode("latin-1"), rd.os.decode("latin-1")]
    if t == 14:
        return [name(rd.mbox), name(rd.txt)]
    if t == 15:
        return [rd.preference, name(rd.exchange)]
    if t == 16:
        return [b"".join(bytes([len(s)]) + s for s in rd.strings).hex()]
    return []


def main():
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        msg = dns.message.from_wire(bytes.fromhex(line), ignore_trailing=True)
        for q in msg.question:
            print("Q", name(q.name), int(q.rdtype), int(q.rdclass))
        for tag, section in (("AN", msg.answer), ("NS", msg.authority), ("AR", msg.additional)):
            for rrset in section:
                for rd in rrset:
                    print(tag, name(rrset.name), int(rrset.rdtype), int(rrset.rdclass), rrset.ttl,
                          *fields(rd))
        print("--")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
