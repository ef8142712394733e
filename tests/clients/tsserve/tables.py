"""The stream's own tables read on the Linux side, independently of tsserve:
sections put together from packets, PAT, PMT and SDT, names decoded by
libaribb24 (Debian's libaribb24, through ctypes) and folded as users read
them (full-width Latin letters, digits and spaces as ordinary ones)."""
import ctypes
import ctypes.util

TS = 188


def pid_of(p):
    return ((p[1] & 0x1F) << 8) | p[2]


def packets(data):
    return [data[i:i + TS] for i in range(0, len(data) - TS + 1, TS)]


def sections(data, pid):
    """Whole sections of a PID, in order (a section cut by a lost packet is dropped)."""
    out, buf, last_cc = [], None, None
    for p in packets(data):
        if p[0] != 0x47 or pid_of(p) != pid or not p[3] & 0x10:
            continue
        cc = p[3] & 0x0F
        if last_cc is not None and cc != (last_cc + 1) & 0x0F:
            buf = None
        last_cc = cc
        payload = p[4 + (1 + p[4] if p[3] & 0x20 else 0):]
        if p[1] & 0x40:
            pointer = payload[0]
            if buf is not None:
                _take(buf + payload[1:1 + pointer], out)
            buf = bytearray(payload[1 + pointer:])
        elif buf is not None:
            buf += payload
        else:
            continue
        buf = _take(buf, out)
    return out


def _take(buf, out):
    """Moves the whole sections at the start of buf to out; what is left of an
    unfinished one, or None after stuffing."""
    buf = bytearray(buf)
    while len(buf) >= 3 and buf[0] != 0xFF:
        size = 3 + (((buf[1] & 0x0F) << 8) | buf[2])
        if len(buf) < size:
            return buf
        out.append(bytes(buf[:size]))
        del buf[:size]
    return None if buf[:1] == b"\xff" else buf


def crc_ok(section):
    crc = 0xFFFFFFFF
    for b in section:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if crc & 0x80000000 else (crc << 1) & 0xFFFFFFFF
    return crc == 0


def parse_pat(section):
    """(tsid, version, {program: pmt pid}) without program 0."""
    tsid, version = (section[3] << 8) | section[4], (section[5] >> 1) & 0x1F
    body = section[8:-4]
    programs = {}
    for i in range(0, len(body) - 3, 4):
        number, pid = (body[i] << 8) | body[i + 1], ((body[i + 2] & 0x1F) << 8) | body[i + 3]
        if number:
            programs[number] = pid
    return tsid, version, programs


def parse_pmt(section):
    """(program, PCR PID, [(stream type, PID)], ECM PIDs)."""
    program = (section[3] << 8) | section[4]
    pcr = ((section[8] & 0x1F) << 8) | section[9]
    info = ((section[10] & 0x0F) << 8) | section[11]
    ecms = _ca_pids(section[12:12 + info])
    at, end, streams = 12 + info, len(section) - 4, []
    while at + 5 <= end:
        kind, pid = section[at], ((section[at + 1] & 0x1F) << 8) | section[at + 2]
        length = ((section[at + 3] & 0x0F) << 8) | section[at + 4]
        ecms += _ca_pids(section[at + 5:at + 5 + length])
        streams.append((kind, pid))
        at += 5 + length
    return program, pcr, streams, ecms


def _ca_pids(loop):
    out, at = [], 0
    while at + 2 <= len(loop):
        tag, length = loop[at], loop[at + 1]
        if tag == 0x09 and length >= 4:
            out.append(((loop[at + 4] & 0x1F) << 8) | loop[at + 5])
        at += 2 + length
    return out


def parse_sdt(section):
    """(tsid, onid, [(service id, type, raw name bytes)]) of an SDT actual."""
    tsid, onid = (section[3] << 8) | section[4], (section[8] << 8) | section[9]
    at, end, out = 11, len(section) - 4, []
    while at + 5 <= end:
        sid = (section[at] << 8) | section[at + 1]
        length = ((section[at + 3] & 0x0F) << 8) | section[at + 4]
        loop, kind, name = section[at + 5:at + 5 + length], 0, b""
        i = 0
        while i + 2 <= len(loop):
            tag, n = loop[i], loop[i + 1]
            if tag == 0x48:
                d = loop[i + 2:i + 2 + n]
                kind = d[0]
                provider = d[1]
                name = d[3 + provider:3 + provider + d[2 + provider]]
            i += 2 + n
        out.append((sid, kind, name))
        at += 5 + length
    return tsid, onid, out


_lib = None


def aribb24_decode(raw):
    """ARIB STD-B24 text to UTF-8 by libaribb24, as tsserve decodes it."""
    global _lib
    if _lib is None:
        _lib = ctypes.CDLL(ctypes.util.find_library("aribb24") or "libaribb24.so.0")
        _lib.arib_instance_new.restype = ctypes.c_void_p
        _lib.arib_instance_new.argtypes = [ctypes.c_void_p]
        _lib.arib_get_decoder.restype = ctypes.c_void_p
        _lib.arib_get_decoder.argtypes = [ctypes.c_void_p]
        _lib.arib_initialize_decoder.argtypes = [ctypes.c_void_p]
        _lib.arib_decode_buffer.restype = ctypes.c_size_t
        _lib.arib_decode_buffer.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                            ctypes.c_size_t]
        _lib.arib_finalize_decoder.argtypes = [ctypes.c_void_p]
        _lib.arib_instance_destroy.argtypes = [ctypes.c_void_p]
    instance = _lib.arib_instance_new(None)
    decoder = _lib.arib_get_decoder(instance)
    _lib.arib_initialize_decoder(decoder)
    out = ctypes.create_string_buffer(len(raw) * 4 + 16)
    n = _lib.arib_decode_buffer(decoder, bytes(raw), len(raw), out, len(out))
    _lib.arib_finalize_decoder(decoder)
    _lib.arib_instance_destroy(instance)
    return fold_width(out.raw[:n].decode("utf-8"))


def fold_width(text):
    """Full-width digits and Latin letters and the ideographic space as ordinary ones; nothing else."""
    out = []
    for c in text:
        o = ord(c)
        if 0xFF10 <= o <= 0xFF19 or 0xFF21 <= o <= 0xFF3A or 0xFF41 <= o <= 0xFF5A:
            c = chr(o - 0xFEE0)
        elif o == 0x3000:
            c = " "
        out.append(c)
    return "".join(out)
