"""Browses for Kestrel's DNS-SD services with python-zeroconf, a reader that
is not ours, and prints one JSON line per service found or gone, until its
standard input closes. For tst_discovery, inside a network namespace."""
import json
import sys

from zeroconf import IPVersion, ServiceBrowser, ServiceListener, Zeroconf

TYPES = ["_kestrel._tcp.local.", "_http._tcp.local."]


class Printer(ServiceListener):
    def add_service(self, zc, type_, name):
        info = zc.get_service_info(type_, name, 5000)
        event = {"event": "added", "type": type_, "name": name}
        if info:
            event.update(port=info.port, server=info.server, addresses=info.parsed_addresses(),
                         txt={k.decode(): (v or b"").decode() for k, v in info.properties.items()})
        print(json.dumps(event), flush=True)

    def remove_service(self, zc, type_, name):
        print(json.dumps({"event": "removed", "type": type_, "name": name}), flush=True)

    def update_service(self, zc, type_, name):
        pass


zeroconf = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
browser = ServiceBrowser(zeroconf, TYPES, Printer())
print(json.dumps({"event": "browsing"}), flush=True)
sys.stdin.read()
zeroconf.close()
