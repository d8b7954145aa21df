#!/usr/bin/python3
"""A desktop notification service for tests: owns org.freedesktop.Notifications
on the session bus it was started on and records each Notify call.

usage: notify_server.py RECORD CAPS READY
  RECORD  file that gets one JSON line per Notify: app, summary, body
  CAPS    file whose lines are the capabilities answered (read at each call,
          so a test can change them)
  READY   file written with the bus address once the name is owned
"""
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record, caps):
        super().__init__(bus, PATH)
        self.record = record
        self.caps = caps
        self.next_id = 1

    @dbus.service.method(NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        with open(self.caps) as f:
            return [line.strip() for line in f if line.strip()]

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        with open(self.record, "a") as f:
            f.write(json.dumps({"app": str(app), "summary": str(summary),
                                "body": str(body)}) + "\n")
        self.next_id += 1
        return dbus.UInt32(self.next_id - 1)

    @dbus.service.method(NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ("corvale-test", "corvale", "1", "1.2")


def main():
    record, caps, ready = sys.argv[1:4]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(NAME, bus)  # noqa: F841 (kept while it runs)
    Notifications(bus, record, caps)
    with open(ready + ".tmp", "w") as f:
        f.write(os.environ["DBUS_SESSION_BUS_ADDRESS"])
    os.rename(ready + ".tmp", ready)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
