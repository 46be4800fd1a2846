#!/usr/bin/python3
"""A chatty device on the lab's LAN (a TV, a speaker): it answers every M-SEARCH at once,
whatever it searches for, where a router waits a moment first. It serves a description of
its own, a media renderer with no WAN connection service.

Usage: chatty.py MODE LOG [--address A] [--lifetime S]
  own-st       200 OK with its own search target and a LOCATION to its description
  echo-st      200 OK with the searched target copied back, the same LOCATION
  bad-request  400 Bad Request
  garbage      40 bytes that are no HTTP at all

Run it on the lab's third host (lab.sh device NAME ...). It prints "ready" once it
listens, writes every search it answers and every request it serves as one JSON line to
LOG, and ends on SIGTERM or after its lifetime."""

import argparse
import json
import re
import select
import signal
import socket
import struct
import sys
import time

GROUP = "239.255.255.250"
HTTP_PORT = 49152
OWN_TARGET = "urn:schemas-upnp-org:device:MediaRenderer:1"
UUID = "5ca1ab1e-0000-4000-8000-00000000cafe"
# Fixed bytes, so every run meets the same garbage: a NUL, high bytes, a stray CR LF.
GARBAGE = bytes.fromhex("8f00d1c3a5177e0d0a42ff13fe6b9920c1da7733"
                        "00ee4f0a2efa5b10c6d3e8907f1c0d0a0da3b4c5")

DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device>
<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>
<friendlyName>Living Room TV</friendlyName>
<manufacturer>Lab Electronics</manufacturer>
<modelName>Chatty TV</modelName>
<UDN>uuid:%s</UDN>
<serviceList>
<service>
<serviceType>urn:schemas-upnp-org:service:RenderingControl:1</serviceType>
<serviceId>urn:upnp-org:serviceId:RenderingControl</serviceId>
<SCPDURL>/rc.xml</SCPDURL><controlURL>/ctl/rc</controlURL><eventSubURL>/evt/rc</eventSubURL>
</service>
<service>
<serviceType>urn:schemas-upnp-org:service:ConnectionManager:1</serviceType>
<serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>
<SCPDURL>/cm.xml</SCPDURL><controlURL>/ctl/cm</controlURL><eventSubURL>/evt/cm</eventSubURL>
</service>
<service>
<serviceType>urn:schemas-upnp-org:service:AVTransport:1</serviceType>
<serviceId>urn:upnp-org:serviceId:AVTransport</serviceId>
<SCPDURL>/avt.xml</SCPDURL><controlURL>/ctl/avt</controlURL><eventSubURL>/evt/avt</eventSubURL>
</service>
</serviceList>
</device>
</root>
""" % UUID


def ok_reply(target, location):
    return ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\nLOCATION: %s\r\n"
            "SERVER: Linux/4.4 UPnP/1.0 ChattyTV/1.0\r\nST: %s\r\nUSN: uuid:%s::%s\r\n\r\n"
            % (location, target, UUID, target)).encode("latin-1")


def searched_target(search):
    match = re.search(r"\r\nST: *([^\r\n]*)\r\n", search, re.I)
    return match.group(1).strip() if match else ""


def reply_to(mode, search, location):
    if mode == "own-st":
        return ok_reply(OWN_TARGET, location)
    if mode == "echo-st":
        return ok_reply(searched_target(search), location)
    if mode == "bad-request":
        return b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"
    return GARBAGE


def serve(conn, log):
    """One request on `conn`: the description for any GET, then the connection closes."""
    conn.settimeout(5)
    head = b""
    try:
        while b"\r\n\r\n" not in head and len(head) < 8192:
            got = conn.recv(4096)
            if not got:
                break
            head += got
        request = head.split(b"\r\n", 1)[0].decode("latin-1")
        log({"kind": "http", "request": request})
        body = DESCRIPTION.encode()
        if request.startswith("GET "):
            answer = (b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n"
                      b"Connection: close\r\n\r\n" % len(body)) + body
        else:
            answer = b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n"
        conn.sendall(answer)
    except OSError:
        pass
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["own-st", "echo-st", "bad-request", "garbage"])
    parser.add_argument("log")
    parser.add_argument("--address", default="192.168.77.3")
    parser.add_argument("--lifetime", type=float, default=300)
    options = parser.parse_args()
    with open(options.log, "a") as log_file:
        def log(what):
            log_file.write(json.dumps(what) + "\n")
            log_file.flush()

        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((options.address, HTTP_PORT))
        listener.listen(16)
        location = "http://%s:%d/description.xml" % (options.address, HTTP_PORT)

        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        udp.bind((GROUP, 1900))
        udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                       struct.pack("4s4s", socket.inet_aton(GROUP),
                                   socket.inet_aton(options.address)))

        signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        print("ready", flush=True)
        deadline = time.monotonic() + options.lifetime
        while time.monotonic() < deadline:
            readable, _, _ = select.select([listener, udp], [], [], 0.5)
            if udp in readable:
                data, sender = udp.recvfrom(2048)
                search = data.decode("latin-1")
                if search.startswith("M-SEARCH "):
                    # Logged first: a client may have read the answer and ended before
                    # the line would be written otherwise.
                    log({"kind": "ssdp", "from": "%s:%d" % sender,
                         "target": searched_target(search)})
                    udp.sendto(reply_to(options.mode, search, location), sender)
            if listener in readable:
                conn, _ = listener.accept()
                serve(conn, log)


if __name__ == "__main__":
    main()
