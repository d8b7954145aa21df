#!/usr/bin/python3
"""The recording SMTP sink of smtp_sink.py with server behaviours that SMTP
client tests need to meet. Run with /usr/bin/python3 (Debian's aiosmtpd):

    /usr/bin/python3 smtp_variants.py --port PORT --dir DIR
        [--ehlo-500]              answer EHLO with "500", so the client says HELO
        [--auth USER:PASSWORD]    announce AUTH LOGIN PLAIN and check credentials
        [--rcpt-251 ADDR]...      answer RCPT TO for ADDR with "251"

Files and transcript as smtp_sink.py writes them; "auth <login>" is added to a
message's .meta when the session authenticated.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smtp_sink  # noqa: E402
from aiosmtpd.smtp import AuthResult  # noqa: E402


class VariantRecorder(smtp_sink.Recorder):
    def __init__(self, directory, reject, rcpt251):
        super().__init__(directory, reject)
        self.rcpt251 = set(a.lower() for a in rcpt251)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.rcpt251:
            return "251 2.1.5 User not local; will forward"
        return await super().handle_RCPT(server, session, envelope, address, rcpt_options)

    async def handle_DATA(self, server, session, envelope):
        reply = await super().handle_DATA(server, session, envelope)
        if session.authenticated:
            meta = os.path.join(self.directory, "msg-%d.meta" % self.messages)
            with open(meta, "a", encoding="utf-8") as f:
                f.write("auth %s\n" % session.auth_data.login.decode("utf-8", "replace"))
        return reply


class VariantSMTP(smtp_sink.RecordingSMTP):
    def __init__(self, recorder, ehlo500, **kwargs):
        super().__init__(recorder, **kwargs)
        self.ehlo500 = ehlo500

    async def smtp_EHLO(self, hostname):
        if self.ehlo500:
            await self.push("500 5.5.1 Command unrecognized: EHLO")
            return
        await super().smtp_EHLO(hostname)


def make_authenticator(user, password):
    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (auth_data.login.decode() == user and auth_data.password.decode() == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data)
    return authenticator


def main():
    parser = smtp_sink.argument_parser()
    parser.add_argument("--rcpt-251", action="append", default=[])
    parser.add_argument("--ehlo-500", action="store_true")
    parser.add_argument("--auth")
    args = parser.parse_args()

    recorder = VariantRecorder(args.dir, args.reject_rcpt, args.rcpt_251)
    kwargs = dict(enable_SMTPUTF8=False)
    if args.auth:
        user, _, password = args.auth.partition(":")
        kwargs.update(authenticator=make_authenticator(user, password),
                      auth_require_tls=False)
    return smtp_sink.serve(args, lambda: VariantSMTP(recorder, args.ehlo_500, **kwargs))


if __name__ == "__main__":
    sys.exit(main())
