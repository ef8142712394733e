"""How media servers find tsserve's network tuners, asked with the clients
they use: SiliconDust's libhdhomerun (hdhomerun_config, and the library itself
through ctypes) for HDHomeRun's discovery, and an SSDP M-SEARCH. Everything is
sent to the rig's loopback address only."""
import ctypes
import re
import socket
import struct
import subprocess
import time
import zlib

from harness import check


class _Device(ctypes.Structure):
    # struct hdhomerun_discover_device_v3_t, libhdhomerun's hdhomerun_discover.h
    _fields_ = [("ip_addr", ctypes.c_uint32), ("device_type", ctypes.c_uint32), ("device_id", ctypes.c_uint32),
                ("tuner_count", ctypes.c_uint8), ("is_legacy", ctypes.c_bool), ("device_auth", ctypes.c_char * 25),
                ("base_url", ctypes.c_char * 29), ("storage_id", ctypes.c_char * 37),
                ("lineup_url", ctypes.c_char * 128), ("storage_url", ctypes.c_char * 128)]


def _library():
    lib = ctypes.CDLL("libhdhomerun.so.4")
    lib.hdhomerun_discover_validate_device_id.restype = ctypes.c_bool
    lib.hdhomerun_discover_validate_device_id.argtypes = [ctypes.c_uint32]
    lib.hdhomerun_discover_find_devices_custom_v3.argtypes = [ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32,
                                                              ctypes.POINTER(_Device), ctypes.c_int]
    return lib


def device_id_valid(device_id):
    """libhdhomerun's own check of the ID's check digit."""
    return _library().hdhomerun_discover_validate_device_id(device_id)


def hdhomerun_config_discover(address):
    """`hdhomerun_config discover ADDRESS`: the device IDs it printed."""
    r = subprocess.run(["hdhomerun_config", "discover", address], capture_output=True, text=True, timeout=30)
    return re.findall(r"hdhomerun device ([0-9A-F]{8}) found at", r.stdout), r.stdout + r.stderr


def libhdhomerun_discover(address):
    """What libhdhomerun read from the discovery replies of the address."""
    a = [int(x) for x in address.split(".")]
    ip = a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3]
    found = (_Device * 8)()
    n = _library().hdhomerun_discover_find_devices_custom_v3(ip, 1, 0xFFFFFFFF, found, 8)
    check(n >= 0, "libhdhomerun's discovery failed")
    return [{"id": "%08X" % d.device_id, "type": d.device_type, "tuners": d.tuner_count, "legacy": d.is_legacy,
             "base": d.base_url.decode(), "lineup": d.lineup_url.decode()} for d in found[:n]]


def ssdp_search(address, target, seconds=3.0):
    """An M-SEARCH sent to the address's SSDP port: the answers' fields."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.5)
    out = []
    try:
        s.sendto(("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n"
                  "ST: %s\r\n\r\n" % target).encode(), (address, 1900))
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                data, _ = s.recvfrom(4096)
            except socket.timeout:
                if out:
                    break
                continue
            lines = data.decode("latin-1").split("\r\n")
            check(lines[0] == "HTTP/1.1 200 OK", "SSDP answer %r" % lines[0])
            out.append({k.strip().upper(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:] if l)})
    finally:
        s.close()
    return out


def hdhr_replies(address, source, count, seconds=2.0):
    """How many datagrams came back to `source` for `count` of HDHomeRun's
    shortest discovery requests (8 bytes: no items) sent at once."""
    request = struct.pack(">HH", 2, 0)
    request += struct.pack("<I", zlib.crc32(request))
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(0.25)
    n = 0
    try:
        for _ in range(count):
            s.sendto(request, (address, 65001))
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                s.recvfrom(4096)
                n += 1
            except socket.timeout:
                pass
    finally:
        s.close()
    return n


def own_address():
    """The address this machine sends from on its network (nothing is sent to
    find it), or None where it has only loopback."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.connect(("198.51.100.1", 9))
        address = s.getsockname()[0]
        return None if address.startswith("127.") else address
    except OSError:
        return None
    finally:
        s.close()
