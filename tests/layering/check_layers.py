#!/usr/bin/env python3
"""Checks the include rules between the layers of the source tree.

- net/ never includes ui/, app/ or about/;
- ui/ itself never includes Qt (only ui/qt/ does), and neither do app/ or about/;
- only platform/, the stack implementation in net/transport/ and the toolkit
  backends include operating-system headers.
Prints every offending include and exits 1 when there is one.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
include = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')
os_header = re.compile(
    r"^(unistd\.h|fcntl\.h|netdb\.h|poll\.h|signal\.h|dlfcn\.h|pwd\.h|spawn\.h|"
    r"sys/.*|arpa/.*|netinet/.*|linux/.*|windows\.h|winsock.*|ws2.*|shellapi\.h|"
    r"X11/.*)$", re.I)
qt_header = re.compile(r"^Q[A-Za-z]*(/.*)?$|^Qt")


def allowed_os(rel: str) -> bool:
    return (rel.startswith("platform/") or rel.startswith("ui/qt/") or
            rel.startswith("ui/win32/") or
            # The socket stacks and the TLS sessions are the transport's two
            # ends towards the system.
            re.match(r"net/transport/Id(Stack(Posix|Winsock)|TLS(Win32|OpenSSL))[^/]*$",
                     rel) is not None)


problems = []
for path in sorted(root.rglob("*")):
    if path.suffix not in (".h", ".cpp"):
        continue
    rel = path.relative_to(root).as_posix()
    top = rel.split("/")[0]
    if top not in ("net", "ui", "app", "about", "platform"):
        continue
    for n, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
        m = include.match(line)
        if not m:
            continue
        inc = m.group(1)
        where = f"{rel}:{n}: {inc}"
        if top == "net" and re.match(r"(ui|app|about)/", inc):
            problems.append(f"{where} (net/ may not use the windows)")
        if qt_header.match(inc) and not rel.startswith("ui/qt/"):
            problems.append(f"{where} (only ui/qt/ may include Qt)")
        if top == "platform" and re.match(r"(net|ui|app|about)/", inc):
            problems.append(f"{where} (platform/ is the bottom layer)")
        if top == "ui" and re.match(r"(app|about)/", inc):
            problems.append(f"{where} (ui/ may not use the program)")
        if os_header.match(inc) and not allowed_os(rel):
            problems.append(f"{where} (OS headers belong in platform/ or the stack)")

for p in problems:
    print(p)
print(f"layering: {len(problems)} problem(s)")
sys.exit(1 if problems else 0)
