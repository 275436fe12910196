#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/seed-*.

The seeds are the inputs of the unit tests in the layout each target expects (the frame reader and
the RFC 3339 target take a few choice bytes first). Regression inputs (regression-*) found by
fuzzing sit beside them and are kept by hand. Run from anywhere: python3 fuzz/make_seeds.py
"""
import json
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"
SCHEMA = "varquin.browser-import.v1"
RID = "3f2504e0-4f89-41d3-9a0c-0305e82c3301"


def write(target, items):
    directory = ROOT / target
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("seed-*"):
        old.unlink()
    for index, item in enumerate(items):
        data = item.encode("utf-8", "surrogatepass") if isinstance(item, str) else item
        (directory / f"seed-{index:03d}").write_bytes(data)


def frame(payload):
    data = payload.encode("utf-8", "surrogatepass") if isinstance(payload, str) else payload
    return struct.pack("<I", len(data)) + data


def req(action, **fields):
    return json.dumps({"action": action, **fields}, separators=(",", ":"), ensure_ascii=False)


PING = req("ping", schema=SCHEMA, requestId=RID)
REQUESTS = [
    PING,
    '{"schema":"s","requestId":"r","action":"ping"}',
    req("begin_upload", schema=SCHEMA, requestId=RID, source="gmail", originalName="a.csv"),
    req("begin_upload", schema=SCHEMA, requestId=RID, source="gmail", originalName="r\u00e9sum\u00e9.xlsx",
        expectedSize=None),
    req("begin_upload", schema=SCHEMA, requestId=RID, source="gmail", originalName="a.csv",
        expectedSize=18446744073709551615),
    req("upload_chunk", schema=SCHEMA, requestId=RID, sequence=4294967295, data="QUJD"),
    req("commit_upload", schema=SCHEMA, requestId=RID),
    req("launch_request", schema=SCHEMA, requestId=RID),
    req("stage_download", schema=SCHEMA, requestId=RID, source="gmail",
        filePath="/Users/me/Downloads/Varquin Inbox/" + RID + "/a.csv", originalName="a.csv"),
    req("cleanup_download_container", schema=SCHEMA, requestId=RID,
        requestDirectoryPath="/Users/me/Downloads/Varquin Inbox/" + RID),
    '["ping","s","r"]',
    '["begin_upload","%s","%s","gmail","a\\u00e9.csv",42]' % (SCHEMA, RID),
    '["upload_chunk","s","r",0,"AA=="]',
    '{"action":"ping","schema":"s","requestId":"r"} \t\r\n',
    '{"action":"ping","schema":"s","requestId":"r","x":[[[[]]]]}',
    '{"action":"ping","schema":"s","requestId":"r"}x',
    '{"action":"ping","action":"ping","schema":"s","requestId":"r"}',
    '{"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":-0}',
    '{"action":"begin_upload","schema":"s","requestId":"r","source":"gmail","originalName":"a.csv","expectedSize":1e3}',
    '{"action":"ping","schema":"s","requestId":"\\ud83d\\ude00\\u0000\\n"}',
    req("stage_download", schema=SCHEMA, requestId=RID, source="Gmail", filePath="/f", originalName="a.csv"),
]
write("request", REQUESTS)

# Frame reader: limit choice (0: the real limit; 128 + n: a limit of n + 1), split seed (its last
# two bits pick the reader: even read_frame, 1 one FrameReader for the stream, 3
# read_next_framed_json), stream. Each stream goes to all three.
def framed(limit, seed, stream):
    return [bytes([limit]) + struct.pack(">I", 4 * seed + low) + stream for low in (0, 1, 3)]


write("frame_reader", [seed for pair in [
    framed(0, 1, b""),
    framed(0, 2, frame(PING)),
    framed(0, 3, frame(PING) + frame(REQUESTS[5]) + frame(REQUESTS[2])),
    framed(0, 4, frame(PING) + b"\x10"),
    framed(0, 5, b"\x10\x00\x00"),
    framed(0, 6, b"\x00\x00\x00\x00"),
    framed(0, 7, b"\x01\x00\x10\x00" + b" " * 40),
    framed(0, 8, b"\x10\x00\x00\x00{\"a\""),
    framed(0, 9, frame(PING + "x")),
    framed(0, 10, frame('{"action":"ping","schema":"other","requestId":"r"}')),
    framed(0, 11, frame(PING + "   \n") + frame(REQUESTS[10])),
    framed(200, 12, frame(PING) + frame("{}")),
    framed(255, 13, frame("x" * 128) + frame("y" * 129)),
] for seed in pair])

CONFIG = {
    "schema": "varquin.browser-bridge.config.v2",
    "extensionId": "abcdefghijklmnopabcdefghijklmnop",
    "appBundlePath": "/Applications/Varquin.app",
    "appExecutablePath": None,
    "electronUserDataPath": "/Users/me/Library/Application Support/Varquin",
    "allowedExtensionOrigins": ["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"],
}


def config(**changes):
    value = dict(CONFIG)
    for key, replacement in changes.items():
        if replacement is ...:
            del value[key]
        else:
            value[key] = replacement
    return json.dumps(value, indent=2, ensure_ascii=False) + "\n"


write("config", [
    config(),
    config(appExecutablePath=...),
    config(appExecutablePath="/Applications/Varquin.app/Contents/MacOS/Varquin"),
    config(allowedExtensionOrigins=["chrome-extension://", "chrome-extension://x/"]),
    config(allowedExtensionOrigins=["chrome-extension://*/"]),
    config(allowedExtensionOrigins=[]),
    config(appBundlePath=None),
    config(appBundlePath="Applications/Varquin.app"),
    config(extensionId="abcdefghijklmnopabcdefghijklmnoq"),
    config(schema="varquin.browser-bridge.config.v1"),
    config(electronUserDataPath=""),
    "\ufeff" + config(),
    "",
    config().replace("{", '{"extra":1,', 1),
    json.dumps(list(CONFIG.values())),
])

MANIFEST = """{
  "schema": "varquin.browser-import.v1",
  "requestId": "%s",
  "source": "gmail",
  "originalSourcePath": "/Users/me/Library/Application Support/Varquin/browser-imports/%s/report.csv",
  "filePath": "/Users/me/Library/Application Support/Varquin/browser-imports/%s/report.csv",
  "originalName": "report.csv",
  "sizeBytes": 18446744073709551615,
  "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
  "createdAt": "2026-01-31T08:15:02.047+00:00",
  "temporary": true
}
""" % (RID, RID, RID)
TERMINAL = """{
  "schema": "varquin.browser-import.v1",
  "requestId": "%s",
  "source": "gmail",
  "originalSourcePath": "/Users/me/Library/Application Support/Varquin/browser-imports/%s/report.csv",
  "originalName": "report.csv",
  "sizeBytes": 42,
  "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
  "finalizedAt": "2027-01-15T08:00:00+00:00"
}
""" % (RID, RID)
write("manifest", [
    MANIFEST,
    MANIFEST.replace("true", "false"),
    MANIFEST.replace("report.csv", "r\u00e9sum\u00e9 \\\"q\\\"\\u0001.csv"),
    MANIFEST.replace('"sizeBytes": 18446744073709551615', '"sizeBytes": 1.0'),
    MANIFEST.replace(',\n  "temporary": true', ""),
    TERMINAL,
])
write("terminal_record", [
    TERMINAL,
    TERMINAL.replace("42", "-1"),
    TERMINAL.replace("+00:00", "Z").replace("report", "\\ud83d\\ude00"),
    TERMINAL.replace(',\n  "finalizedAt": "2027-01-15T08:00:00+00:00"', ""),
    MANIFEST,
])

write("base64", ["", "AA==", "AAA=", "AAAA", "QUJD", "Zm9vYmFy", "Zm9vYg==", "Zm9vYmE=", "A===",
                 "AB==", "AAB=", "QU JD", "QUJD\n", "====", "QUJD====", "+/+/", "-_-_"])

write("original_name", [
    "report.csv", "Report.XLSX", "e\u0301t\u00e9.dta", ".csv", "a.", "report", "report.xls",
    "report.csv ", "a/b.csv", "a\\b.csv", "\x01.csv", "a\u0085.csv", "a\u007f.csv", ".", "..",
    "x" * 252 + ".csv", "x" * 251 + ".csv", "\u00e9" * 125 + ".csv", "\ud800.csv",
    b"\xff.csv", b"\xc0\xae.csv", "\u1100\u1161\u11a8.csv", "a.b.CsV",
])

def stamped(seconds, nanos, text):
    return struct.pack(">QI", seconds % (1 << 64), nanos) + text.encode()


write("rfc3339", [
    stamped(62167219200 + 1769847302, 47000000, "2026-01-31T08:15:02.047+00:00"),
    stamped(0, 0, "2026-01-31T08:15:02Z"),
    stamped(1, 1, "1990-12-31T23:59:60Z"),
    stamped(2, 1000, "1937-01-01T12:00:27.87+00:20"),
    stamped(3, 999999999, "2024-02-29t00:00:00z"),
    stamped(4, 5, "2023-02-29T00:00:00Z"),
    stamped(5, 6, "0000-01-01T00:00:00+23:59"),
    stamped(6, 7, "9999-12-31T23:59:59-23:59"),
    stamped(7, 8, "2026-01-31 08:15:02.123456789123-05:30"),
    stamped(8, 9, "2026-13-01T00:00:00Z"),
    stamped(9, 10, "2026-01-31T24:00:00Z"),
    stamped(10, 11, "2026-01-31T08:15:02.+00:00"),
    stamped(11, 12, "2026-01-31T08:15:02+0000"),
])

write("uuid", [
    RID, RID.upper(), RID.replace("-", ""), "{" + RID + "}", "urn:uuid:" + RID,
    "00000000-0000-0000-0000-000000000000", RID[:-1], RID + "0", RID.replace("-", "_"),
    "g" + RID[1:], "{" + RID, "URN:UUID:" + RID, RID[:8] + RID[9:] + "-",
])
