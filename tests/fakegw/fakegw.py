#!/usr/bin/python3
"""A scriptable UPnP IGD for tests: an SSDP responder and an HTTP server that serves a
chosen device description and answers the WAN connection service's SOAP actions from an
in-memory port-mapping table. It misbehaves on demand (see DEFAULTS) and writes every
request it receives as one JSON line to the log file.

Run inside a network namespace of the test's own: it joins the SSDP multicast group.
Usage: fakegw.py CONFIG.json   (prints "ready" once it listens; ends on SIGTERM or
after the config's "lifetime" seconds)."""

import json
import re
import select
import signal
import socket
import struct
import sys
import threading
import time
from xml.sax.saxutils import escape

DEFAULTS = {
    "address": "127.0.0.1",          # where it listens and what LOCATION names
    "http_port": 0,                   # 0: any free port
    "answer": ["WANIPConnection:1"],  # search targets answered (short service types, or
                                      # whole ones: "upnp:rootdevice"; "*" answers all)
    "reply_st": None,                 # the STs answered with, a datagram each; None: the target
    "fresh_location": False,          # each reply names a LOCATION never named before
    "reply_delay": 0,                 # seconds between a search and its replies
    "crowd": [],                      # more devices of this config, one at each address
    "ssdp_reply": None,               # a raw reply text instead of the usual one
    "description": None,              # a raw description; "$BASE" -> http://address:port
    "description_status": 200,
    "service": "WANIPConnection:1",   # the service the default description offers
    "control_url": "/ctl/IPConn",     # its controlURL text
    "identity": {},                   # friendlyName, manufacturer, ... of the description
    "external_ip": "203.0.113.9",     # None: the answer has no NewExternalIPAddress
    "status": {},                     # action -> HTTP status to answer with (no change)
    "faults": {},                     # action -> UPnP errorCode to refuse with (HTTP 500)
    "fault_calls": {},                # action -> {"N": code}: its Nth call (from 1) refused
    "readd_conflict": False,          # an add for a port in the table is refused with 718,
                                      # whoever's entry it is (as some routers do)
    "entries": [],                    # the table: dicts of the GetGenericPortMappingEntry fields
    "raw_entries": {},                # index -> raw XML inside the entry response
    "index_mode": "honour",           # "repeat": every index answers the first entry;
                                      # "cycle": index i answers entry i modulo the table
    "raw": {},                        # "GET" or an action -> how to send its answer (RAW_KEYS)
    "die_after": {},                  # "GET" or an action -> exit after answering it N times
    "max_lease": 0,                   # >0: a longer lease asked is granted this long
    "only_permanent": False,          # refuse a lease with 725, as routers without them do
                                      # (or with this UPnP error: 402, as some do)
    "zero_lease_as": 0,               # >0: an entry asked without a lease is held this long
    "unmade": [],                     # actions answered (as "raw" says) but not carried out
    "zero_internal_port": False,      # entries read back name internal port 0 (a daemon's bug)
    "exact_protocol": False,
    "description_rule": None,         # [shortest, longest, UPnP error]: an add whose
                                      # description is outside that length is refused          # NewProtocol other than "TCP" or "UDP" refused with 402
    "any_port_answers": 0,            # >0: AddAnyPortMapping names this port, making nothing
    "log": None,
    "lifetime": 60,
}

# How a "raw" answer goes out. "head" is the whole head, blank line included; $LENGTH in
# it stands for the body's length. Without "head" the head is a 200 with the true
# Content-Length, or with "Transfer-Encoding: chunked" when "chunked" is set.
RAW_KEYS = {
    "head": None,      # the head text as sent
    "body": None,      # the body text; None: the usual answer to the request
    "chunked": False,  # send the body in chunks of 64 bytes, chunk-size lines and all
    "drip": 0,         # the body's last N bytes go out one at a time ...
    "gap": 0,          # ... this many seconds apart
    "hold": 0,         # seconds to keep the connection open after the last byte
    "reset": None,     # send only this many bytes of the body, then reset the connection
    "after": 0,        # answer the first N requests as usual, the raw way from then on
}

IDENTITY_DEFAULTS = {
    "friendlyName": "Fake Gateway",
    "manufacturer": "Portwrangler Tests",
    "manufacturerURL": "http://example.invalid/",
    "modelDescription": "Scriptable IGD",
    "modelName": "FakeGW",
    "modelNumber": "1",
    "modelURL": "http://example.invalid/fakegw",
    "serialNumber": "0001",
    "UPC": "000000000001",
    "presentationURL": "http://example.invalid/admin",
}

ENTRY_FIELDS = ["NewRemoteHost", "NewExternalPort", "NewProtocol", "NewInternalPort",
                "NewInternalClient", "NewEnabled", "NewPortMappingDescription",
                "NewLeaseDuration"]


def default_description(config, base):
    identity = dict(IDENTITY_DEFAULTS)
    identity.update(config["identity"])
    texts = "".join("<%s>%s</%s>" % (k, escape(v), k) for k, v in identity.items() if v is not None)
    return ("<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
            "<specVersion><major>1</major><minor>0</minor></specVersion>"
            "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
            + texts +
            "<serviceList><service><serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1"
            "</serviceType><controlURL>/ctl/L3F</controlURL></service></serviceList>"
            "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
            "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1"
            "</deviceType><serviceList><service><serviceType>urn:schemas-upnp-org:service:"
            + config["service"] + "</serviceType><serviceId>urn:upnp-org:serviceId:WANConn1"
            "</serviceId><controlURL>" + config["control_url"] + "</controlURL>"
            "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/scpd.xml</SCPDURL></service>"
            "</serviceList></device></deviceList></device></deviceList>"
            "</device></root>\r\n")


def envelope(action, service, inner):
    return ("<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/"
            "envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
            "<u:%sResponse xmlns:u=\"urn:schemas-upnp-org:service:%s\">%s</u:%sResponse>"
            "</s:Body></s:Envelope>\r\n" % (action, service, inner, action))


def fault(code):
    return ("<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/"
            "envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
            "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
            "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>%d</errorCode>"
            "<errorDescription>refused</errorDescription></UPnPError></detail></s:Fault>"
            "</s:Body></s:Envelope>\r\n" % code)


def argument(body, name):
    match = re.search(r"<%s>(.*?)</%s>" % (name, name), body, re.S)
    if not match:
        return None
    text = match.group(1)
    return (text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"")
            .replace("&apos;", "'").replace("&amp;", "&"))


class Gateway:
    def __init__(self, config):
        self.config = config
        self.entries = [dict(e) for e in config["entries"]]
        self.log = open(config["log"], "a") if config["log"] else None
        self.answered = {}
        self.calls = {}
        self.dying = False
        self.lock = threading.Lock()

    def record(self, what):
        if self.log:
            with self.lock:  # delayed replies record from threads of their own
                # The system's monotonic clock, which a test's own process reads alike.
                self.log.write(json.dumps(dict({"at": time.monotonic()}, **what)) + "\n")
                self.log.flush()

    def ssdp(self, data, sender, devices):
        heard = time.monotonic()  # a delayed reply is recorded as heard when it came
        if float(self.config["reply_delay"]) > 0:
            threading.Timer(float(self.config["reply_delay"]), self.answer_search,
                            args=(data, sender, devices, heard)).start()
        else:
            self.answer_search(data, sender, devices, heard)

    def answer_search(self, data, sender, devices, heard):
        for reply_socket, base in devices:
            self.answer_as(data, sender, reply_socket, base, heard)

    def answer_as(self, data, sender, reply_socket, base, heard):
        text = data.decode("latin-1")
        match = re.search(r"\r\nST: ?(\S+)\r\n", text)
        searched = match.group(1) if match else ""
        target = searched.replace("urn:schemas-upnp-org:service:", "", 1)
        self.record({"kind": "ssdp", "target": target, "datagram": text, "at": heard})
        if target not in self.config["answer"] and "*" not in self.config["answer"]:
            return
        for st in self.config["reply_st"] or [searched]:
            reply = self.config["ssdp_reply"]
            if reply is None:
                self.replies = getattr(self, "replies", 0) + 1
                path = ("desc-%d.xml" % self.replies if self.config["fresh_location"]
                        else "rootDesc.xml")
                reply = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: %s\r\n"
                         "USN: uuid:fakegw::%s\r\nEXT:\r\nSERVER: Linux UPnP/1.0 FakeGW/1.0\r\n"
                         "LOCATION: %s/%s\r\n\r\n" % (st, st, base, path))
            reply_socket.sendto(reply.replace("$BASE", base).encode("latin-1"), sender)

    def action(self, name, body):
        service = self.config["service"]
        self.calls[name] = self.calls.get(name, 0) + 1
        refusal = self.config["fault_calls"].get(name, {}).get(str(self.calls[name]))
        if refusal is not None:
            return 500, fault(int(refusal))
        if name in self.config["faults"]:
            return 500, fault(int(self.config["faults"][name]))
        if (self.config["exact_protocol"] and "<NewProtocol>" in body and
                argument(body, "NewProtocol") not in ("TCP", "UDP")):
            return 500, fault(402)
        if name in self.config["status"]:
            return int(self.config["status"][name]), ""
        if name in self.config["unmade"]:
            return 200, envelope(name, service, "")
        if name == "GetExternalIPAddress":
            address = self.config["external_ip"]
            return 200, envelope(name, service, "" if address is None else
                                 "<NewExternalIPAddress>%s</NewExternalIPAddress>" % address)
        if name == "GetGenericPortMappingEntry":
            index = int(argument(body, "NewPortMappingIndex") or "-1")
            if self.entries and index >= 0 and self.config["index_mode"] == "repeat":
                index = 0
            elif self.entries and index >= 0 and self.config["index_mode"] == "cycle":
                index %= len(self.entries)
            raw = self.config["raw_entries"].get(str(index))
            if raw is not None:
                return 200, envelope(name, service, raw)
            if index < 0 or index >= len(self.entries):
                return 500, fault(713)
            entry = self.entries[index]
            inner = "".join("<%s>%s</%s>" % (f, escape(str(entry[f])), f)
                            for f in ENTRY_FIELDS if f in entry)
            return 200, envelope(name, service, inner)
        if name == "GetSpecificPortMappingEntry":
            port, protocol = argument(body, "NewExternalPort"), argument(body, "NewProtocol")
            for old in self.entries:
                if (str(old.get("NewExternalPort")) == port and
                        str(old.get("NewProtocol")).upper() == str(protocol).upper()):
                    shown = dict(old, NewInternalPort=0) if self.config["zero_internal_port"] \
                        else old
                    inner = "".join("<%s>%s</%s>" % (f, escape(str(shown[f])), f)
                                    for f in ENTRY_FIELDS[3:] if f in shown)
                    return 200, envelope(name, service, inner)
            return 500, fault(714)
        if name in ("AddPortMapping", "AddAnyPortMapping"):
            entry = {f: argument(body, f) for f in ENTRY_FIELDS}
            lease = int(entry["NewLeaseDuration"] or 0)
            refusal = self.config["only_permanent"]
            if lease and refusal:
                return 500, fault(725 if refusal is True else int(refusal))
            if not lease and self.config["zero_lease_as"]:
                entry["NewLeaseDuration"] = str(int(self.config["zero_lease_as"]))
            if lease and self.config["max_lease"]:
                entry["NewLeaseDuration"] = str(min(lease, int(self.config["max_lease"])))
            rule = self.config["description_rule"]
            if rule and not rule[0] <= len(entry["NewPortMappingDescription"] or "") <= rule[1]:
                return 500, fault(rule[2])
            if name == "AddAnyPortMapping" and self.config["any_port_answers"]:
                return 200, envelope(name, service, "<NewReservedPort>%d</NewReservedPort>"
                                     % self.config["any_port_answers"])
            if name == "AddAnyPortMapping":
                return self.add_any(entry)
            for i, old in enumerate(self.entries):
                if (str(old.get("NewExternalPort")) == entry["NewExternalPort"] and
                        str(old.get("NewProtocol")).upper() == str(entry["NewProtocol"]).upper()):
                    if (old.get("NewInternalClient") != entry["NewInternalClient"] or
                            self.config["readd_conflict"]):
                        return 500, fault(718)
                    self.entries[i] = entry  # the same client's entry: an update
                    return 200, envelope(name, service, "")
            self.entries.append(entry)
            return 200, envelope(name, service, "")
        if name == "DeletePortMapping":
            port, protocol = argument(body, "NewExternalPort"), argument(body, "NewProtocol")
            for i, old in enumerate(self.entries):
                if (str(old.get("NewExternalPort")) == port and
                        str(old.get("NewProtocol")).upper() == str(protocol).upper()):
                    del self.entries[i]
                    return 200, envelope(name, service, "")
            return 500, fault(714)
        return 500, fault(401)

    def add_any(self, entry):
        """AddAnyPortMapping: the port wished for when it is free or the same client's
        (whose entry is updated in place), else the next such port up."""
        port = int(entry["NewExternalPort"])
        for _ in range(65535):
            holder = next((i for i, old in enumerate(self.entries)
                           if str(old.get("NewExternalPort")) == str(port) and
                           str(old.get("NewProtocol")).upper() == entry["NewProtocol"].upper()),
                          None)
            if holder is None or \
                    self.entries[holder].get("NewInternalClient") == entry["NewInternalClient"]:
                break
            port = port % 65535 + 1
        entry["NewExternalPort"] = str(port)
        if holder is None:
            self.entries.append(entry)
        else:
            self.entries[holder] = entry
        return 200, envelope("AddAnyPortMapping", self.config["service"],
                             "<NewReservedPort>%d</NewReservedPort>" % port)

    def http(self, conn, base):
        conn.settimeout(5)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            head_text = head.decode("latin-1")
            length = re.search(r"(?i)\r\ncontent-length: *(\d+)", head_text)
            want = int(length.group(1)) if length else 0
            while len(body) < want:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                body += chunk
        except socket.timeout:
            return
        body_text = body.decode("utf-8", "replace")
        request_line = head_text.split("\r\n", 1)[0]
        soapaction = re.search(r"(?i)\r\nsoapaction: *\"?[^#\"]*#([A-Za-z]+)", head_text)
        self.record({"kind": "http", "request": request_line, "head": head_text,
                     "action": soapaction.group(1) if soapaction else None, "body": body_text})
        if request_line.startswith("GET "):
            status = int(self.config["description_status"])
            text = self.config["description"]
            text = default_description(self.config, base) if text is None else text
            payload = text.replace("$BASE", base)
        elif soapaction:
            status, payload = self.action(soapaction.group(1), body_text)
            # What the action came to, and the table after it.
            self.record({"kind": "answer", "action": soapaction.group(1), "status": status,
                         "fault": int(argument(payload, "errorCode") or 0),
                         "table": [[e.get("NewProtocol"), str(e.get("NewExternalPort")),
                                    e.get("NewInternalClient")] for e in self.entries]})
        else:
            status, payload = 404, ""
        key = "GET" if request_line.startswith("GET ") else (soapaction.group(1) if soapaction else "")
        self.answered[key] = self.answered.get(key, 0) + 1
        limit = self.config["die_after"].get(key)
        self.dying = self.dying or (limit is not None and self.answered[key] >= int(limit))
        if key in self.config["raw"] and \
                self.answered[key] > int(self.config["raw"][key].get("after", 0)):
            # On a thread of its own, so that a slow or held answer does not stop the
            # next request from being served.
            how = dict(RAW_KEYS, **self.config["raw"][key])
            sender = threading.Thread(target=self.send_raw,
                                      args=(conn, how, status, payload, base), daemon=True)
            sender.start()
            return True
        reason = {200: "OK", 404: "Not Found", 500: "Internal Server Error"}.get(status, "Status")
        raw = payload.encode("utf-8", "surrogateescape")  # "\udcXX": the raw byte XX
        conn.sendall(("HTTP/1.1 %d %s\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                      "Connection: close\r\nContent-Length: %d\r\n\r\n" % (status, reason, len(raw))
                      ).encode("latin-1") + raw)

    def send_raw(self, conn, how, status, payload, base):
        body = (payload if how["body"] is None else how["body"].replace("$BASE", base))
        body = body.encode("utf-8", "surrogateescape")
        if how["chunked"]:
            chunks = [body[i:i + 64] for i in range(0, len(body), 64)]
            body = b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\n\r\n"
        head = how["head"]
        if head is None:
            # The answer's own status: a refusal sent chunked is still a refusal.
            head = ("HTTP/1.1 %d Status\r\n" % status +
                    ("Transfer-Encoding: chunked\r\n\r\n" if how["chunked"]
                     else "Content-Length: $LENGTH\r\n\r\n"))
        head = head.replace("$LENGTH", str(len(body))).encode("latin-1")
        drip = min(int(how["drip"]), len(body))
        try:
            if how["reset"] is not None:
                conn.sendall(head + body[:int(how["reset"])])
                time.sleep(0.2)  # let the bytes arrive before the reset overtakes them
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            conn.sendall(head + body[:len(body) - drip])
            for i in range(len(body) - drip, len(body)):
                time.sleep(float(how["gap"]))
                conn.sendall(body[i:i + 1])
            time.sleep(float(how["hold"]))
        except OSError:
            pass  # the client gave up first: that is what some cases test
        finally:
            conn.close()


def main():
    config = dict(DEFAULTS)
    with open(sys.argv[1]) as f:
        config.update(json.load(f))
    gateway = Gateway(config)

    # One device at the address, and one more at each address of the crowd.
    listeners, devices = {}, []
    for number, address in enumerate([config["address"]] + list(config["crowd"])):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, int(config["http_port"]) if number == 0 else 0))
        listener.listen(16)
        listeners[listener] = "http://%s:%d" % (address, listener.getsockname()[1])
        # Replies leave from the device's own address, so that two of them on one
        # loopback are two senders.
        reply_socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        reply_socket.bind((address, 0))
        devices.append((reply_socket, listeners[listener]))
    base = devices[0][1]

    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    udp.bind(("239.255.255.250", 1900))
    membership = struct.pack("4s4s", socket.inet_aton("239.255.255.250"),
                             socket.inet_aton(config["address"]))
    udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready %s" % base, flush=True)
    deadline = time.monotonic() + float(config["lifetime"])
    while time.monotonic() < deadline:
        readable, _, _ = select.select(list(listeners) + [udp], [], [], 0.5)
        if udp in readable:
            data, sender = udp.recvfrom(2048)
            gateway.ssdp(data, sender, devices)
        for listener in listeners:
            if listener not in readable:
                continue
            conn, _ = listener.accept()
            if not gateway.http(conn, listeners[listener]):
                conn.close()
            if gateway.dying:
                return  # the listener closes with the process: later connects are refused


if __name__ == "__main__":
    main()
