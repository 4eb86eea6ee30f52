#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/<target>/.

Seeds are well-formed inputs: a PDU of every kind each side receives, with
and without optional parameters, error statuses, whole sessions, and the
harness prefixes (control octet, read sizes) each target expects. The files
are committed; rerun after changing a harness's input layout:

    python3 fuzz/make_corpus.py            # rewrites fuzz/corpus/
    python3 fuzz/make_corpus.py --dict     # rewrites the command ids of fuzz/smpp.dict
    python3 fuzz/make_corpus.py --check-dict   # fails when smpp.dict and the table differ

Command ids come from the command table in codec/Commands.h, and every
command a side may send gets a seed, so a row added there reaches the
dictionary and the corpus.
"""
import pathlib
import re
import shutil
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"

TREE = pathlib.Path(__file__).resolve().parent.parent
DICT = TREE / "fuzz" / "smpp.dict"


def read_command_table():
    """The rows of the command table in codec/Commands.h: name -> (id, from_esme, from_smsc)."""
    text = (TREE / "codec" / "Commands.h").read_text()
    block = text[text.index("#define VELMOR_COMMANDS(X)"):]
    block = block[:block.index("\n\n")]
    rows = re.findall(r"X\((\w+),\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+|0),\s*(\w+),\s*(\w+)\)", block)
    if not rows:
        sys.exit("make_corpus.py: no rows found in codec/Commands.h")
    return {name: (int(cid, 16), esme, smsc) for name, cid, _resp, esme, smsc in rows}


TABLE = read_command_table()
CMD = {name: row[0] for name, row in TABLE.items()}


def dict_command_lines():
    """The command_id entries of the fuzz dictionary, in table order."""
    return ["cmd_%s=\"%s\"" % (name, "".join("\\x%02X" % b for b in struct.pack(">I", cid)))
            for name, cid in CMD.items()]


def check_dict():
    """0 when fuzz/smpp.dict holds exactly the table's command ids, else 1 with the difference."""
    have = [l for l in DICT.read_text().splitlines() if l.startswith("cmd_")]
    want = dict_command_lines()
    if have == want:
        return 0
    for l in sorted(set(want) - set(have)):
        print("smpp.dict lacks: " + l)
    for l in sorted(set(have) - set(want)):
        print("smpp.dict has, the table does not: " + l)
    if set(have) == set(want):
        print("smpp.dict: command entries out of table order")
    print("rerun: python3 fuzz/make_corpus.py --dict")
    return 1


def write_dict():
    """Rewrites the command_id entries of fuzz/smpp.dict from the table; other lines stay."""
    lines = DICT.read_text().splitlines()
    at = next((i for i, l in enumerate(lines) if l.startswith("cmd_")), len(lines))
    rest = [l for l in lines if not l.startswith("cmd_")]
    DICT.write_text("\n".join(rest[:at] + dict_command_lines() + rest[at:]) + "\n")


def cover_table(seeds, column):
    """Adds a header-only seed for every command of the table that the side
    (column 1: from_esme, 2: from_smsc) may send and no seed carries yet."""
    have = {struct.unpack(">I", o[4:8])[0] for _, o in seeds if len(o) >= 8}
    for name, row in TABLE.items():
        if row[column] != "none" and row[0] not in have:
            seeds.append((name + "_header_only", pdu(name, seq=21)))
    return seeds

# tag -> value width in octets (0: octet string, None: no value)
TAGS = {
    0x0005: 1, 0x0006: 1, 0x0007: 1, 0x0008: 2, 0x000D: 1, 0x000E: 1, 0x000F: 1, 0x0010: 1,
    0x0017: 4, 0x0019: 1, 0x001D: 0, 0x001E: 0, 0x0030: 1, 0x0201: 1, 0x0202: 0, 0x0203: 0,
    0x0204: 2, 0x0205: 1, 0x020A: 2, 0x020B: 2, 0x020C: 2, 0x020D: 1, 0x020E: 1, 0x020F: 1,
    0x0210: 1, 0x0302: 1, 0x0303: 0, 0x0304: 1, 0x0381: 0, 0x0420: 1, 0x0421: 1, 0x0423: 0,
    0x0424: 0, 0x0425: 1, 0x0426: 1, 0x0427: 1, 0x0501: 1, 0x1201: 1, 0x1203: 2, 0x1204: 1,
    0x130C: None, 0x1380: 1, 0x1383: 2,
}
BIND_RESP = [0x0210]
SUBMIT_SM = [0x0204, 0x020A, 0x000D, 0x020B, 0x0005, 0x020C, 0x020E, 0x020F, 0x0426, 0x0019, 0x0424,
             0x0201, 0x0381, 0x0302, 0x0303, 0x0202, 0x0203, 0x0205, 0x1201, 0x1203, 0x1204, 0x0030,
             0x0304, 0x130C, 0x020D, 0x1380, 0x1383, 0x0501]
SUBMIT_MULTI = [t for t in SUBMIT_SM if t not in (0x0426, 0x0205, 0x0304, 0x1380, 0x1383, 0x0501)]
DELIVER_SM = [0x0204, 0x020A, 0x020B, 0x020C, 0x020E, 0x020F, 0x0205, 0x0201, 0x0019, 0x0424, 0x0381,
              0x0202, 0x0203, 0x020D, 0x1383, 0x0423, 0x0427, 0x001E]
DATA_SM = [0x020A, 0x000D, 0x000E, 0x000F, 0x0010, 0x020B, 0x0005, 0x0006, 0x0007, 0x0008, 0x020C,
           0x020E, 0x020F, 0x0426, 0x0017, 0x0019, 0x0424, 0x0421, 0x001E, 0x0427, 0x0423, 0x0204,
           0x0201, 0x0381, 0x0302, 0x0303, 0x0202, 0x0203, 0x0205, 0x1201, 0x1203, 0x1204, 0x0030,
           0x0304, 0x130C, 0x020D, 0x1380, 0x1383]
DATA_SM_RESP = [0x0425, 0x0423, 0x001D, 0x0420]


def u8(v): return struct.pack(">B", v)
def u16(v): return struct.pack(">H", v)
def u32(v): return struct.pack(">I", v)
def cstr(s): return s.encode() + b"\0"


def tlv(tag, value=None):
    width = TAGS[tag]
    if width is None:
        return u16(tag) + u16(0)
    if width == 0:
        v = value if value is not None else b"abc"
        return u16(tag) + u16(len(v)) + v
    v = (value if value is not None else 1).to_bytes(width, "big")
    return u16(tag) + u16(width) + v


def tlvs(tags):
    return b"".join(tlv(t) for t in tags)


def pdu(name, body=b"", status=0, seq=1):
    return u32(16 + len(body)) + u32(CMD[name]) + u32(status) + u32(seq) + body


def addr(ton=1, npi=1, a="447700900123"):
    return u8(ton) + u8(npi) + cstr(a)


RECEIPT = b"id:1234 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD err:000 text:Hello"


def sm_body(sm=b"hello", esm=0, dc=0):
    return (u8(esm) + u8(0) + u8(0) + cstr("") + cstr("") + u8(1) + u8(0) + u8(dc) + u8(0)
            + u8(len(sm)) + sm)


def client_received():
    """PDUs an ESME receives, each (name, octets)."""
    out = []
    for kind in ("bind_transmitter_resp", "bind_receiver_resp", "bind_transceiver_resp"):
        out.append((kind, pdu(kind, cstr("SMSC") + tlvs(BIND_RESP))))
        out.append((kind + "_error", pdu(kind, b"", status=0x0D, seq=2)))
    out.append(("unbind_resp", pdu("unbind_resp", seq=3)))
    out.append(("unbind_resp_error", pdu("unbind_resp", status=4, seq=3)))
    out.append(("generic_nack", pdu("generic_nack", status=3, seq=4)))
    out.append(("submit_sm_resp", pdu("submit_sm_resp", cstr("MSG0001"), seq=5)))
    out.append(("submit_sm_resp_error", pdu("submit_sm_resp", b"", status=0x45, seq=5)))
    unsucc = u8(2) + addr() + u32(0x0B) + addr(2, 8, "123") + u32(0x45)
    out.append(("submit_multi_resp", pdu("submit_multi_resp", cstr("M1") + unsucc, seq=6)))
    out.append(("submit_multi_resp_error", pdu("submit_multi_resp", cstr("") + u8(0), status=0x33, seq=6)))
    deliver = cstr("") + addr() + addr(0, 0, "2000") + sm_body(RECEIPT, esm=0x04)
    out.append(("deliver_sm_receipt", pdu("deliver_sm", deliver + tlv(0x001E, b"1234\0") + tlv(0x0427, 2)
                                         + tlv(0x0423, b"\x03\x00\x01"), seq=7)))
    out.append(("deliver_sm_all_tlvs", pdu("deliver_sm", cstr("") + addr() + addr() + sm_body(b"")
                                          + tlvs(DELIVER_SM), seq=8)))
    udh = b"\x05\x00\x03\x2A\x02\x01" + b"part one"
    out.append(("deliver_sm_udh", pdu("deliver_sm", cstr("WAP") + addr() + addr() + sm_body(udh, esm=0x40),
                                     seq=9)))
    data = cstr("") + addr() + addr() + u8(0) + u8(1) + u8(8)
    out.append(("data_sm", pdu("data_sm", data + tlv(0x0424, "héllo".encode("utf-16-be")), seq=10)))
    out.append(("data_sm_all_tlvs", pdu("data_sm", data + tlvs(DATA_SM), seq=11)))
    out.append(("data_sm_resp", pdu("data_sm_resp", cstr("D1") + tlvs(DATA_SM_RESP), seq=12)))
    out.append(("data_sm_resp_error", pdu("data_sm_resp", cstr("") + tlv(0x0425, 1), status=0x45, seq=12)))
    out.append(("query_sm_resp", pdu("query_sm_resp", cstr("1234") + cstr("240101120000000+") + u8(2) + u8(0),
                                     seq=13)))
    out.append(("query_sm_resp_error", pdu("query_sm_resp", b"", status=0x67, seq=13)))
    out.append(("cancel_sm_resp", pdu("cancel_sm_resp", seq=14)))
    out.append(("cancel_sm_resp_error", pdu("cancel_sm_resp", status=0x11, seq=14)))
    out.append(("replace_sm_resp", pdu("replace_sm_resp", seq=15)))
    out.append(("replace_sm_resp_error", pdu("replace_sm_resp", status=0x13, seq=15)))
    out.append(("enquire_link", pdu("enquire_link", seq=16)))
    out.append(("enquire_link_resp", pdu("enquire_link_resp", seq=17)))
    out.append(("outbind", pdu("outbind", cstr("SMSC") + cstr("pw"), seq=18)))
    out.append(("alert_notification", pdu("alert_notification", addr() + addr(), seq=19)))
    out.append(("short_length_8", u32(8) + u32(CMD["enquire_link_resp"])))
    out.append(("unknown_command", pdu("deliver_sm_resp", cstr("x"), seq=20)))
    return out


def client_sent():
    """PDUs an SMSC receives from an ESME, each (name, octets)."""
    out = []
    for seq, kind in enumerate(("bind_transmitter", "bind_receiver", "bind_transceiver"), 1):
        out.append((kind, pdu(kind, cstr("esme") + cstr("secret") + cstr("") + u8(0x34) + u8(1) + u8(1)
                              + cstr(""), seq=seq)))
    out.append(("outbind", pdu("outbind", cstr("esme") + cstr("secret"))))
    opt = tlv(0x020C, 42) + tlv(0x020E, 2) + tlv(0x020F, 1)
    out.append(("submit_sm", pdu("submit_sm", cstr("") + addr(5, 0, "Velmor") + addr() + sm_body(b"hi") + opt,
                                 seq=4)))
    out.append(("submit_sm_payload", pdu("submit_sm", cstr("") + addr() + addr() + sm_body(b"")
                                         + tlv(0x0424, b"a long text" * 30), seq=5)))
    out.append(("submit_sm_all_tlvs", pdu("submit_sm", cstr("") + addr() + addr() + sm_body(b"x")
                                          + tlvs(SUBMIT_SM), seq=6)))
    dests = u8(3) + u8(1) + addr() + u8(1) + addr(1, 1, "447700900999") + u8(2) + cstr("friends")
    out.append(("submit_multi", pdu("submit_multi", cstr("") + addr() + dests + sm_body(b"multi")
                                    + tlvs(SUBMIT_MULTI), seq=7)))
    data = cstr("") + addr() + addr() + u8(0) + u8(1) + u8(0)
    out.append(("data_sm", pdu("data_sm", data + tlv(0x0424, b"data") + tlvs(DATA_SM), seq=8)))
    out.append(("query_sm", pdu("query_sm", cstr("1") + addr(), seq=9)))
    out.append(("cancel_sm", pdu("cancel_sm", cstr("") + cstr("1") + addr() + addr(), seq=10)))
    out.append(("replace_sm", pdu("replace_sm", cstr("1") + addr() + cstr("") + cstr("") + u8(0) + u8(0)
                                  + u8(3) + b"new", seq=11)))
    out.append(("enquire_link", pdu("enquire_link", seq=12)))
    out.append(("enquire_link_resp", pdu("enquire_link_resp", seq=1)))
    out.append(("deliver_sm_resp", pdu("deliver_sm_resp", cstr(""), seq=1)))
    out.append(("data_sm_resp", pdu("data_sm_resp", cstr("") + tlv(0x0425, 0), seq=2)))
    out.append(("generic_nack", pdu("generic_nack", status=3, seq=3)))
    out.append(("alert_notification", pdu("alert_notification", addr() + addr(), seq=13)))
    out.append(("unbind", pdu("unbind", seq=14)))
    out.append(("bad_length", u32(4) + u32(CMD["enquire_link"]) + u32(0) + u32(1)))
    return out


def write(target, name, data):
    d = ROOT / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def main():
    if ROOT.exists():
        shutil.rmtree(ROOT)

    # fuzz_receive: control octet, read-size count and sizes, then the stream.
    received = cover_table(client_received(), 2)
    for name, octets in received:
        write("fuzz_receive", name, b"\x00\x00" + octets)
    stream = b"".join(o for _, o in received)
    write("fuzz_receive", "stream_whole", b"\x00\x00" + stream)
    write("fuzz_receive", "stream_one_octet_reads", b"\x00\x01\x01" + stream)
    write("fuzz_receive", "stream_mixed_reads", b"\x00\x03\x07\x10\x01" + stream)
    write("fuzz_receive", "stream_disconnect_at_3", bytes([0x20 | 3, 0]) + stream)
    write("fuzz_receive", "stream_destroy_at_5", bytes([0x40 | 5, 0]) + stream)
    write("fuzz_receive", "stream_nested_read_at_2", bytes([0x60 | 2, 2, 0x30, 0x05]) + stream)
    write("fuzz_receive", "unframeable_http", b"\x00\x00HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
    write("fuzz_receive", "unframeable_zero", b"\x00\x00" + u32(0) + u32(0x15) + u32(0) + u32(1))

    # fuzz_tlv: selector octet, then TLVs of that aggregate.
    for sel, (name, tags) in enumerate((("bind_resp", BIND_RESP), ("deliver_sm", DELIVER_SM),
                                        ("data_sm", DATA_SM), ("data_sm_resp", DATA_SM_RESP),
                                        ("submit_sm", SUBMIT_SM), ("submit_multi", SUBMIT_MULTI))):
        write("fuzz_tlv", name, bytes([sel]) + tlvs(tags))
        write("fuzz_tlv", name + "_repeated_unknown_cut",
              bytes([sel]) + tlv(tags[0]) + u16(0x1400) + u16(2) + b"zz" + tlv(tags[-1]) + b"\x02")

    # fuzz_hex: octets, their hex, and hex-looking text.
    for name, data in (("empty", b""), ("one", b"\x7f"), ("four", b"\xde\xad\xbe\xef"),
                       ("upper", b"DEADBEEF"), ("lower", b"deadbeef"), ("max", b"FFFFFFFF"),
                       ("too_long", b"100000000"), ("odd", b"ABC"), ("not_hex", b"0x1G"),
                       ("all_octets", bytes(range(256)))):
        write("fuzz_hex", name, data)

    # fuzz_data_sm_roundtrip: [0] bit 0 chooses data_sm_resp; then per member
    # a presence octet and its value (strings: 2-octet length).
    def members(tags, present):
        out = b""
        for t in tags:
            if not present:
                out += b"\x00"
                continue
            w = TAGS[t]
            out += b"\x01"
            if w == 0:
                out += u16(3) + b"abc"
            elif w is not None:
                out += (0x5A).to_bytes(w, "big")
        return out
    write("fuzz_data_sm_roundtrip", "data_sm_none", b"\x00" + members(DATA_SM, False))
    write("fuzz_data_sm_roundtrip", "data_sm_all", b"\x00" + members(DATA_SM, True))
    write("fuzz_data_sm_roundtrip", "data_sm_resp_none", b"\x01" + members(DATA_SM_RESP, False))
    write("fuzz_data_sm_roundtrip", "data_sm_resp_all", b"\x01" + members(DATA_SM_RESP, True))

    # fuzz_smsc_session: options octet, read-size count and sizes, the stream.
    sent = cover_table(client_sent(), 1)
    for name, octets in sent:
        write("fuzz_smsc_session", name, b"\x00\x00" + octets)
    bind = dict(sent)["bind_transceiver"]
    session = bind + b"".join(o for n, o in sent if n not in ("bind_transmitter", "bind_receiver",
                                                               "bind_transceiver", "outbind", "bad_length"))
    write("fuzz_smsc_session", "session_whole", b"\x00\x00" + session)
    write("fuzz_smsc_session", "session_faults", b"\x1f\x02\x05\x40" + session)
    write("fuzz_smsc_session", "session_one_octet_reads", b"\x00\x01\x01" + session)

    # fuzz_receipt: a receipt text; parts split at 0xFF, each esm_class,
    # data_coding, then the short message.
    write("fuzz_receipt", "receipt", RECEIPT)
    write("fuzz_receipt", "receipt_undeliv", RECEIPT.replace(b"DELIVRD", b"UNDELIV").replace(b"000", b"0A1"))
    parts = [b"\x40\x00" + bytes([5, 0, 3, 0x2A, 2, i]) + b"part %d" % i for i in (1, 2)]
    write("fuzz_receipt", "concatenated_udh", b"\xff".join(parts))
    write("fuzz_receipt", "concatenated_sar", b"\xff".join(b"\x01\x08" + bytes([0, 7, 2, i]) + b"\x00A"
                                                           for i in (1, 2)))


if __name__ == "__main__":
    if sys.argv[1:] == ["--check-dict"]:
        sys.exit(check_dict())
    if sys.argv[1:] == ["--dict"]:
        write_dict()
        sys.exit(0)
    if sys.argv[1:]:
        sys.exit("usage: make_corpus.py [--dict | --check-dict]")
    main()
