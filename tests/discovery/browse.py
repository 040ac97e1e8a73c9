"""Browses for Kestrel's DNS-SD services with python-zeroconf (a reader that
is not ours) until FOLDER/stop appears or FOLDER goes, appending one JSON line
per service found or gone to FOLDER/events; FOLDER/alive exists until its
sockets are closed. Files, since under Wine a Unix program's output and end
do not reach the Windows test that started it.    browse.py FOLDER"""
import json
import os
import sys
import time

from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf

TYPES = ["_kestrel._tcp.local.", "_http._tcp.local."]
folder = sys.argv[1]
events_path = os.path.join(folder, "events")
alive_path = os.path.join(folder, "alive")


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


open(alive_path, "w").close()
zeroconf = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
browser = ServiceBrowser(zeroconf, TYPES, Recorder())
deadline = time.monotonic() + 300
while os.path.isdir(folder) and not os.path.exists(os.path.join(folder, "stop")) and time.monotonic() < deadline:
    time.sleep(0.05)
zeroconf.close()
if os.path.exists(alive_path):
    os.remove(alive_path)
