"""Browses for Kestrel's DNS-SD services with python-zeroconf, a reader that
is not ours, and appends one JSON line per service found or gone to EVENTS,
as long as the folder that holds EVENTS exists (at most five minutes). For
tst_discovery, inside a network namespace; a file rather than a pipe, since
a Windows test under Wine sees neither a Unix program's output nor its end.

    browse.py EVENTS
"""
import json
import os
import sys
import time

from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf

TYPES = ["_kestrel._tcp.local.", "_http._tcp.local."]
events_path = sys.argv[1]


def write(event):
    with open(events_path, "a", encoding="utf-8") as events:
        events.write(json.dumps(event) + "\n")


class Recorder(ServiceListener):
    def add_service(self, zc, type_, name):
        info = zc.get_service_info(type_, name, 5000)
        event = {"event": "added", "type": type_, "name": name}
        if info:
            event.update(port=info.port, server=info.server, addresses=info.parsed_addresses(),
                         txt={k.decode(): (v or b"").decode() for k, v in info.properties.items()})
        write(event)

    def remove_service(self, zc, type_, name):
        write({"event": "removed", "type": type_, "name": name})

    def update_service(self, zc, type_, name):
        pass


zeroconf = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
browser = ServiceBrowser(zeroconf, TYPES, Recorder())
deadline = time.monotonic() + 300
while os.path.isdir(os.path.dirname(events_path)) and time.monotonic() < deadline:
    time.sleep(0.1)
zeroconf.close()
